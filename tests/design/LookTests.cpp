#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "design/DeckIcon.h"
#include "design/DeckKeyView.h"
#include "design/LatencyBadge.h"
#include "design/ScenicBackdrop.h"

namespace brindlet::design {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
const double kNaN = std::nan("");
constexpr double k2To63 = 9223372036854775808.0;

TEST(DeckIconLook, LabelMetrics) {
  const struct {
    double size, font, width;
  } rows[] = {{40, 10, 54}, {58, 10, 72}, {100, 17, 114}, {200, 34, 214}};
  for (const auto& row : rows) {
    EXPECT_DOUBLE_EQ(DeckIcon::labelFontSize(row.size), row.font) << row.size;
    EXPECT_DOUBLE_EQ(DeckIcon::labelMaxWidth(row.size), row.width) << row.size;
  }
}

TEST(DeckIconLook, TileByStyleRingAndPress) {
  const Rgba tint{0.2, 0.4, 0.9, 1};
  const Rgba red = systemColor(SystemColor::red, Appearance::dark);
  const Rgba green = systemColor(SystemColor::green, Appearance::dark);
  const struct {
    IconStyle::Value style;
    KeyRing::Value ring;
    bool pressed;
    TileLook expected;
  } rows[] = {
      // Lit glass at size 100: unlit for none (k 0.8, glow 0.25 at 8), lit otherwise.
      {IconStyle::litGlass,
       KeyRing::none,
       false,
       {tint, 0.8, 1, tint.withAlpha(0.25), 8, 0, 0, 0.5}},
      {IconStyle::litGlass,
       KeyRing::none,
       true,
       {tint, 0.8, 0.88, tint.withAlpha(0.45), 8, 0, 0.06, 0.85}},
      {IconStyle::litGlass,
       KeyRing::critical,
       false,
       {red, 1, 1, red.withAlpha(0.6), 14, 0, 0, 0.5}},
      {IconStyle::litGlass,
       KeyRing::critical,
       true,
       {red, 1, 0.88, red.withAlpha(0.8), 14, 0, 0.06, 0.85}},
      // Classic: a dark drop shadow for none, the ring's glow otherwise; pressing darkens.
      {IconStyle::classic,
       KeyRing::none,
       false,
       {tint, 1, 1, kBlack.withAlpha(0.28), 6, 3, 0, 0.5}},
      {IconStyle::classic,
       KeyRing::none,
       true,
       {tint, 1, 0.88, kBlack.withAlpha(0.28), 6, 3, -0.08, 0.5}},
      {IconStyle::classic,
       KeyRing::good,
       false,
       {green, 1, 1, green.withAlpha(0.75), 10, 0, 0, 0.5}},
  };
  for (const auto& row : rows) {
    DeckIcon::Look look{"mic", "Mute", tint, row.ring, row.pressed, 100, true, row.style};
    const TileLook tile = DeckIcon::tileLook(look);
    const TileLook& want = row.expected;
    SCOPED_TRACE(std::string(IconStyle(row.style).rawValue()) + " " +
                 std::string(KeyRing(row.ring).rawValue()) + (row.pressed ? " pressed" : ""));
    EXPECT_EQ(tile.color, want.color);
    EXPECT_DOUBLE_EQ(tile.k, want.k);
    EXPECT_DOUBLE_EQ(tile.scale, want.scale);
    EXPECT_EQ(tile.shadowColor.r, want.shadowColor.r);
    EXPECT_NEAR(tile.shadowColor.a, want.shadowColor.a, 1e-12);
    EXPECT_NEAR(tile.shadowRadius, want.shadowRadius, 1e-12);
    EXPECT_DOUBLE_EQ(tile.shadowOffsetY, want.shadowOffsetY);
    EXPECT_DOUBLE_EQ(tile.brightness, want.brightness);
    if (row.style == IconStyle::litGlass) {
      EXPECT_DOUBLE_EQ(tile.rimLastStop, want.rimLastStop);
    }
  }
}

TEST(DeckSliderLook, ValueText) {
  const struct {
    double value;
    const char* text;
  } rows[] = {{3, "3"},
              {-2, "-2"},
              {-0.0, "0"},
              {0.5, "0.5"},
              {2.5, "2.5"},
              {-1.25, "-1.2"},
              {kNaN, "nan"},
              {1e15, "1000000000000000"},
              {-k2To63, "-9223372036854775808"},
              // Beyond a 64-bit integer the decimal form stays: no undefined conversion.
              {k2To63, "9223372036854775808.0"},
              {kInf, "inf"},
              {-kInf, "-inf"}};
  for (const auto& row : rows)
    EXPECT_EQ(DeckSliderView::valueText(row.value), row.text) << row.value;
}

TEST(DeckSliderLook, FractionThumbFillDragAndAdjust) {
  const struct {
    double value, lower, upper, width;
    double fraction, thumbCentre, fill;
  } rows[] = {{5, 0, 10, 300, 0.5, 150, 150},  {0, 0, 10, 300, 0, 14, 8},
              {10, 0, 10, 300, 1, 286, 300},   {12, 0, 10, 300, 1.2, 340.4, 360},
              {-5, 0, 10, 300, -0.5, -122, 8}, {5, 5, 5, 300, 0, 14, 8},
              {0.25, 0, 1, 200, 0.25, 57, 50}};
  for (const auto& row : rows) {
    const double f = DeckSliderView::fraction(row.value, row.lower, row.upper);
    EXPECT_DOUBLE_EQ(f, row.fraction) << row.value;
    EXPECT_NEAR(14 + DeckSliderView::thumbX(f, row.width), row.thumbCentre, 1e-9) << row.value;
    EXPECT_NEAR(DeckSliderView::fillWidth(f, row.width), row.fill, 1e-9) << row.value;
  }
  const struct {
    double x, width, lower, upper, value;
  } drags[] = {{150, 300, 0, 10, 5}, {-20, 300, 0, 10, 0}, {400, 300, 0, 10, 10},
               {150, 300, 5, 5, 5},  {0.5, 0.5, 0, 10, 5}, {0.3, 0, 0, 10, 3}};
  for (const auto& d : drags)
    EXPECT_DOUBLE_EQ(DeckSliderView::dragValue(d.x, d.width, d.lower, d.upper), d.value) << d.x;
  const struct {
    double value, lower, upper;
    bool increment;
    double result;
  } steps[] = {{9.8, 0, 10, true, 10}, {0.2, 0, 10, false, 0}, {5, 0, 10, true, 5.5},
               {5, 0, 10, false, 4.5}, {5, 5, 5, true, 5},     {20, 0, 10, false, 10}};
  for (const auto& s : steps)
    EXPECT_DOUBLE_EQ(DeckSliderView::adjusted(s.value, s.lower, s.upper, s.increment), s.result)
        << s.value;
}

TEST(LatencyBadgeLook, LevelAndText) {
  using Level = LatencyBadge::Level;
  const struct {
    double ms;
    Level level;
    const char* text;
  } rows[] = {{0, Level::good, "0 ms"},
              {12.5, Level::good, "13 ms"},
              {39.9, Level::good, "40 ms"},
              {40, Level::fair, "40 ms"},
              {41.6, Level::fair, "42 ms"},
              {79.5, Level::fair, "80 ms"},
              {80, Level::poor, "80 ms"},
              {123, Level::poor, "123 ms"},
              {-3, Level::good, "-3 ms"},
              {1e18, Level::poor, "1000000000000000000 ms"},
              // Nothing a whole count of milliseconds can say: a dash, and poor.
              {kNaN, Level::poor, "\u2014 ms"},
              {kInf, Level::poor, "\u2014 ms"},
              {-kInf, Level::poor, "\u2014 ms"},
              {k2To63, Level::poor, "\u2014 ms"},
              {1e300, Level::poor, "\u2014 ms"}};
  for (const auto& row : rows) {
    EXPECT_EQ(LatencyBadge::level(row.ms), row.level) << row.ms;
    EXPECT_EQ(LatencyBadge::text(row.ms), row.text) << row.ms;
  }
  EXPECT_EQ(LatencyBadge::color(Level::good), SystemColor::green);
  EXPECT_EQ(LatencyBadge::color(Level::fair), SystemColor::orange);
  EXPECT_EQ(LatencyBadge::color(Level::poor), SystemColor::red);
}

TEST(ScenicBackdropLook, MeshPointsDriftWithTime) {
  using P = ScenicBackdrop::Point;
  const double pi = std::acos(-1.0);
  const struct {
    double time;
    P left, centre, right, bottom;
  } rows[] = {
      // Standing still: a = 0, b = 0.06.
      {0, {0, 0.61f}, {0.5f, 0.44f}, {1, 0.45f}, {0.5f, 1}},
      // sin(t/7) = 1 gives a = 0.08; cos(t/9) is then close to 0.
      {3.5 * pi,
       {0, 0.55f + 0.06f * float(std::cos(3.5 * pi / 9))},
       {0.58f, 0.5f - 0.06f * float(std::cos(3.5 * pi / 9))},
       {1, 0.53f},
       {0.42f, 1}},
      // cos(t/9) = -1 gives b = -0.06.
      {9 * pi,
       {0, 0.49f},
       {0.5f + 0.08f * float(std::sin(9 * pi / 7)), 0.56f},
       {1, 0.45f + 0.08f * float(std::sin(9 * pi / 7))},
       {0.5f - 0.08f * float(std::sin(9 * pi / 7)), 1}},
  };
  for (const auto& row : rows) {
    const auto p = ScenicBackdrop::meshPoints(row.time);
    SCOPED_TRACE(row.time);
    for (const P& fixed : {p[0], p[1], p[2], p[6], p[8]})
      EXPECT_TRUE(fixed.x == 0 || fixed.x == 0.5f || fixed.x == 1);
    EXPECT_EQ(p[0], (P{0, 0}));
    EXPECT_EQ(p[2], (P{1, 0}));
    EXPECT_EQ(p[8], (P{1, 1}));
    const P got[] = {p[3], p[4], p[5], p[7]};
    const P want[] = {row.left, row.centre, row.right, row.bottom};
    for (int i = 0; i < 4; ++i) {
      EXPECT_FLOAT_EQ(got[i].x, want[i].x) << i;
      EXPECT_FLOAT_EQ(got[i].y, want[i].y) << i;
    }
  }
  // The factors are taken in 32-bit floats: the still centre is exactly 0.5f - 0.06f.
  EXPECT_EQ(ScenicBackdrop::meshPoints(0)[4].y, 0.5f - 0.06f);
}

}  // namespace
}  // namespace brindlet::design
