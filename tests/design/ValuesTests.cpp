#include <gtest/gtest.h>

#include <thread>
#include <unordered_set>
#include <vector>

#include "design/DeckDesign.h"
#include "runtime/Defaults.h"
#include "runtime/MemoryDefaults.h"

namespace brindlet::design {
namespace {

TEST(KeyRing, RawValuesColoursAndAccessibility) {
  struct Row {
    KeyRing ring;
    std::string_view raw;
    std::optional<SystemColor> color;
    std::string_view accessibility;
  };
  const Row rows[] = {{KeyRing::none, "none", std::nullopt, ""},
                      {KeyRing::good, "good", SystemColor::green, "good"},
                      {KeyRing::warning, "warning", SystemColor::orange, "warning"},
                      {KeyRing::critical, "critical", SystemColor::red, "critical"}};
  std::vector<KeyRing> order;
  for (const Row& row : rows) {
    EXPECT_EQ(row.ring.rawValue(), row.raw);
    EXPECT_EQ(KeyRing::fromRaw(row.raw), row.ring);
    EXPECT_EQ(row.ring.color(), row.color);
    EXPECT_EQ(row.ring.accessibilityValue(), row.accessibility);
    order.push_back(row.ring);
  }
  const auto all = KeyRing::allCases();
  EXPECT_EQ(std::vector<KeyRing>(all.begin(), all.end()), order);
  const std::unordered_set<KeyRing> hashed(all.begin(), all.end());
  EXPECT_EQ(hashed.size(), 4u);
  for (std::string_view bad : {"Good", "", " none", "ok"})
    EXPECT_FALSE(KeyRing::fromRaw(bad)) << bad;
}

TEST(IconStyle, RawValuesAndTheStoredDefault) {
  EXPECT_FALSE(IconStyle::fromRaw("Classic"));
  const struct {
    std::optional<std::string> stored;
    IconStyle::Value style;
  } rows[] = {{std::nullopt, IconStyle::litGlass}, {"litGlass", IconStyle::litGlass},
              {"Classic", IconStyle::litGlass},    {"glass", IconStyle::litGlass},
              {"", IconStyle::litGlass},           {"classic", IconStyle::classic}};
  for (const auto& row : rows)
    EXPECT_EQ(IconStyle::forDefault(row.stored), row.style) << row.stored.value_or("(none)");
}

TEST(IconStyle, TheStyleIsReadOncePerProcess) {
  EXPECT_EQ(IconStyle::current(), IconStyle::litGlass);  // nobody has read it yet
  runtime::MemoryDefaults defaults;
  defaults.setText("VelvaneIconStyle", "classic");
  std::vector<std::thread> readers;
  std::vector<IconStyle> seen(8);
  for (std::size_t i = 0; i < seen.size(); ++i)
    readers.emplace_back([&, i] { seen[i] = IconStyle::current(defaults); });
  for (auto& reader : readers) reader.join();
  for (IconStyle style : seen) EXPECT_EQ(style, IconStyle::classic);
  defaults.setText("VelvaneIconStyle", "litGlass");
  EXPECT_EQ(IconStyle::current(defaults), IconStyle::classic);
  EXPECT_EQ(IconStyle::current(), IconStyle::classic);
}

TEST(Spring, MovesFromZeroToOneAndSettles) {
  const struct {
    Spring spring;
    bool overshoots;
  } rows[] = {{{0.45, 0.85}, true}, {{0.25, 0.55}, true}, {{0.3, 1.0}, false}, {{0.8, 1.0}, false}};
  for (const auto& row : rows) {
    const Spring& s = row.spring;
    EXPECT_EQ(s.progress(0), 0);
    double peak = 0;
    for (double t = 0; t < 3; t += 0.001) peak = std::max(peak, s.progress(t));
    EXPECT_EQ(peak > 1.001, row.overshoots) << s.response << " " << s.dampingFraction;
    const double settled = s.settlingTime();
    EXPECT_GT(settled, 0);
    EXPECT_LT(settled, 4 * s.response);
    for (double t = settled; t < settled + 2; t += 0.01) EXPECT_NEAR(s.progress(t), 1, 0.001);
  }
  EXPECT_GT(Spring({0.5, 0}).settlingTime(), 0);  // an undamped spring still ends
}

TEST(Motion, RetargetingContinuesFromWhereTheValueStands) {
  Motion m{{0.25, 0.55}, 0, 1, 10};
  const double midway = m.value(10.05);
  m.retarget(0, 10.05);
  EXPECT_DOUBLE_EQ(m.value(10.05), midway);
  EXPECT_FALSE(m.settled(10.06));
  EXPECT_TRUE(m.settled(20));
  // Finished animations land exactly on their targets, also through a blend of looks.
  Motion up{{0.3, 1.0}, 0.1, 0.7, 0};
  EXPECT_EQ(up.value(5), 0.7);
  EXPECT_EQ(mix(Rgba{0.1, 0.2, 0.3, 0.4}, Rgba{0.7, 0.9, 0.3, 1}, 1), (Rgba{0.7, 0.9, 0.3, 1}));
  EXPECT_EQ(m.value(20), 0);
}

}  // namespace
}  // namespace brindlet::design
