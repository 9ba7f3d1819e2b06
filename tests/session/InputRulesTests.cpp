#include "session/InputRules.h"

#include <gtest/gtest.h>

#include <limits>

#include "runtime/ManualClock.h"

namespace brindlet::session {
namespace {

using namespace std::chrono_literals;
using protocol::MouseButton;
using protocol::TouchPhase;

// One message of a scenario, after the clock has moved by `after`.
struct Step {
  protocol::Touch touch;
  runtime::Duration after = 100ms;
  bool release = false;
};

Step at(TouchPhase phase, double x, double y, MouseButton b = MouseButton::left,
        runtime::Duration after = 100ms) {
  return {protocol::Touch{phase, x, y, b, {}, {}}, after};
}
Step began(double x = 0.5, double y = 0.5, MouseButton b = MouseButton::left,
           runtime::Duration after = 100ms) {
  return at(TouchPhase::began, x, y, b, after);
}
Step ended(double x = 0.5, double y = 0.5) {
  return at(TouchPhase::ended, x, y);
}
Step moved(double x, double y) {
  return at(TouchPhase::moved, x, y);
}
Step released() {
  return {{}, 0ms, true};
}

// Compact form of an event: type@x,y#clickState.
std::string form(const InputEvent& event) {
  const auto& m = std::get<MouseInput>(event);
  std::string text = std::to_string(static_cast<int>(m.type)) + "@" +
                     std::to_string(static_cast<long>(m.location.x)) + "," +
                     std::to_string(static_cast<long>(m.location.y)) + "#" +
                     std::to_string(m.clickState);
  if (m.pressure) text += "p";
  return text;
}

struct TouchCase {
  const char* name;
  double scale;
  std::vector<Step> steps;
  std::vector<std::string> events;
};

// The display at (100, 50), 1024 by 512 pixels: the centre is (612, 306).
TEST(InputRules, TouchesBecomePressesDragsAndClickCounts) {
  const TouchCase cases[] = {
      {"clicks count up to three",
       1,
       {began(), ended(), began(), ended(), began(), ended()},
       {"1@612,306#1", "2@612,306#1", "1@612,306#2", "2@612,306#2", "1@612,306#3", "2@612,306#3"}},
      {"eight points away still counts, nine do not",
       1,
       {began(), ended(), began(0.5078125), ended(0.5078125), began(0.5166015625),
        ended(0.5166015625)},
       {"1@612,306#1", "2@612,306#1", "1@620,306#2", "2@620,306#2", "1@629,306#1", "2@629,306#1"}},
      {"the click distance is in points",
       2,
       {began(), ended(), began(0.515625), ended(0.515625)},
       {"1@612,306#1", "2@612,306#1", "1@628,306#2", "2@628,306#2"}},
      {"the interval itself still counts, a moment later does not",
       1,
       {began(), ended(), began(0.5, 0.5, MouseButton::left, 300ms), ended(),
        began(0.5, 0.5, MouseButton::left, 301ms)},
       {"1@612,306#1", "2@612,306#1", "1@612,306#2", "2@612,306#2", "1@612,306#1"}},
      {"drags and the up carry the press's count",
       1,
       {began(), ended(), began(), moved(0.625, 0.5), ended(0.625, 0.5)},
       {"1@612,306#1", "2@612,306#1", "1@612,306#2", "6@740,306#2", "2@740,306#2"}},
      {"a move without a button is a plain move; ends without one post nothing",
       1,
       {moved(0.625, 0.5), ended(), at(TouchPhase::cancelled, 0.5, 0.5)},
       {"5@740,306#1"}},
      {"a press while one is held lets go of it first",
       1,
       {began(0.125, 0.5, MouseButton::right), began(0.25, 0.5)},
       {"3@228,306#1", "4@356,306#1", "1@356,306#1"}},
      {"a finger on the right edge carries the drag 24 points further each move",
       1,
       {began(), moved(1.0, 0.5), moved(1.0, 0.5), moved(1.0, 0.5), ended(1.0, 0.5)},
       {"1@612,306#1", "6@1148,306#1", "6@1172,306#1", "6@1196,306#1", "2@1196,306#1"}},
      {"the left and top edges carry outwards, moving inside resets at once",
       1,
       {began(), moved(0.0, 0.0005), moved(0.0, 0.5), moved(0.5, 0.5), ended(0.5, 0.5)},
       {"1@612,306#1", "6@76,26#1", "6@52,306#1", "6@612,306#1", "2@612,306#1"}},
      {"a cancelled drag ends at the carried point",
       1,
       {began(), moved(0.5, 1.0), at(TouchPhase::cancelled, 0.5, 1.0)},
       {"1@612,306#1", "6@612,586#1", "2@612,586#1"}},
      {"release lets go at the last point with click state 1",
       1,
       {began(), ended(), began(), moved(0.625, 0.5), released(), released()},
       {"1@612,306#1", "2@612,306#1", "1@612,306#2", "6@740,306#2", "2@740,306#1"}},
  };
  for (const auto& c : cases) {
    auto clock = std::make_shared<runtime::ManualClock>();
    InputRules rules(clock, [] { return std::chrono::nanoseconds(400ms); });
    const DisplayRect display{{100, 50, 1024, 512}, c.scale};
    std::vector<std::string> seen;
    for (const auto& step : c.steps) {
      clock->advance(step.after);
      const auto events = step.release ? rules.release() : rules.touch(step.touch, display);
      for (const auto& e : events) seen.push_back(form(e));
    }
    EXPECT_EQ(seen, c.events) << c.name;
  }
}

TEST(InputRules, PressureReachesPressesAndDragsButNotUps) {
  auto clock = std::make_shared<runtime::ManualClock>();
  InputRules rules(clock, [] { return std::chrono::nanoseconds(400ms); });
  const DisplayRect display{{0, 0, 100, 100}};
  std::vector<std::optional<double>> seen;
  for (auto phase : {TouchPhase::began, TouchPhase::moved, TouchPhase::ended}) {
    for (const auto& e : rules.touch({phase, 0.5, 0.5, MouseButton::left, {}, 0.25}, display))
      seen.push_back(std::get<MouseInput>(e).pressure);
  }
  EXPECT_EQ(seen, (std::vector<std::optional<double>>{0.25, 0.25, std::nullopt}));
}

struct ScrollCase {
  const char* name;
  std::vector<protocol::Scroll> scrolls;
  std::vector<ScrollInput> events;  // phases and amounts; locations at the centre
};

TEST(InputRules, ScrollsCarryTheirPhasesAndRoundedAmounts) {
  using P = protocol::ScrollPhase;
  constexpr auto lowest = std::numeric_limits<std::int32_t>::min();
  constexpr auto highest = std::numeric_limits<std::int32_t>::max();
  const Point centre{600, 300};
  auto plain = [&](std::int32_t dy, std::int32_t dx, std::int64_t phase) {
    return ScrollInput{dy, dx, centre, 1, phase, std::nullopt};
  };
  auto momentum = [&](std::int64_t phase) {
    return ScrollInput{0, 0, centre, 1, std::nullopt, phase};
  };
  const ScrollCase cases[] = {
      {"gesture phases",
       {{0, 1, P::began, false}, {0, 1, P::changed, false}, {0, 1, P::ended, false}},
       {plain(1, 0, 1), plain(1, 0, 2), plain(1, 0, 4)}},
      {"halves round away from zero",
       {{-2.5, 2.5, P::changed, false},
        {2.5, -2.5, P::changed, false},
        {0.49, -0.49, P::changed, false}},
       {plain(3, -3, 2), plain(-3, 3, 2), plain(0, 0, 2)}},
      {"amounts past 32 bits are clamped",
       {{-1e12, 1e12, P::changed, false}},
       {plain(highest, lowest, 2)}},
      {"momentum that starts with changed begins with 1",
       {{0, 0, P::changed, true},
        {0, 0, P::changed, true},
        {0, 0, P::ended, true},
        {0, 0, P::changed, true}},
       {momentum(1), momentum(2), momentum(3), momentum(1)}},
      {"a gesture scroll ends a momentum run",
       {{0, 0, P::changed, true}, {0, 0, P::changed, false}, {0, 0, P::changed, true}},
       {momentum(1), plain(0, 0, 2), momentum(1)}},
  };
  for (const auto& c : cases) {
    InputRules rules(std::make_shared<runtime::ManualClock>(), [] { return runtime::Duration(); });
    std::vector<ScrollInput> seen;
    for (const auto& s : c.scrolls) seen.push_back(rules.scroll(s, {{100, 50, 1000, 500}}));
    EXPECT_EQ(seen, c.events) << c.name;
  }
}

TEST(InputRules, ScrollsHappenAtTheLastPointOnlyWhileItIsOnTheDisplay) {
  InputRules rules(std::make_shared<runtime::ManualClock>(), [] { return runtime::Duration(); });
  const DisplayRect display{{100, 50, 1000, 500}};
  const protocol::Scroll scroll{0, 1, protocol::ScrollPhase::changed, false};
  EXPECT_EQ(rules.scroll(scroll, display).location, (Point{600, 300}));
  rules.touch({TouchPhase::began, 0.25, 0.5, MouseButton::left, {}, {}}, display);
  EXPECT_EQ(rules.scroll(scroll, display).location, (Point{350, 300}));
  rules.touch({TouchPhase::moved, 1.0, 0.5, MouseButton::left, {}, {}}, display);
  EXPECT_EQ(rules.lastPoint(), (Point{1124, 300}));
  EXPECT_EQ(rules.scroll(scroll, display).location, (Point{600, 300}));
}

TEST(InputRules, KeysCarryTheirModifierFlagsAndTextOnePairPerCharacter) {
  using M = protocol::Modifier;
  const struct {
    std::vector<M> mods;
    std::uint64_t flags;
  } keys[] = {{{}, 0},
              {{M::opt, M::ctrl, M::opt}, 0xC0000},
              {{M::cmd, M::opt, M::ctrl, M::shift}, 0x1E0000}};
  for (const auto& k : keys) {
    for (bool down : {true, false})
      EXPECT_EQ(InputRules::key({7, down, k.mods}), (KeyInput{7, down, k.flags, {}}));
  }

  const struct {
    const char* text;
    std::vector<std::u16string> characters;
  } texts[] = {{"e\xCC\x81", {u"e\u0301"}},
               {"\xF0\x9F\x87\xA9\xF0\x9F\x87\xAA", {u"\U0001F1E9\U0001F1EA"}},
               {"a b", {u"a", u" ", u"b"}}};
  for (const auto& t : texts) {
    std::vector<InputEvent> pairs;
    for (const auto& c : t.characters) {
      pairs.push_back(KeyInput{0, true, 0, c});
      pairs.push_back(KeyInput{0, false, 0, c});
    }
    EXPECT_EQ(InputRules::text(t.text), pairs) << t.text;
  }
}

}  // namespace
}  // namespace brindlet::session
