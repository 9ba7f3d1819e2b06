#include "platform/linux/x11/InputPlan.h"

#include <gtest/gtest.h>

#include <map>

#include "platform/linux/x11/KeyCodes.h"

namespace brindlet::platform {
namespace {

using desktop::Modifier;
using desktop::Modifiers;
using K = XKeyStep;
using B = XBindStep;

constexpr std::uint8_t kSuper = 133, kAlt = 64, kControl = 37, kShift = 50;
constexpr std::uint8_t kT = 28, kQ = 24, kA = 38;
constexpr std::uint16_t kMacT = 17, kMacQ = 12, kMacA = 0, kMacCommand = 55;

desktop::KeyEvent key(std::uint16_t code, bool down, Modifiers mods = {}) {
  return {code, down, mods};
}

// A keymap with three spare keycodes and the volume key at its evdev place.
InputPlan makePlan() {
  return InputPlan({200, 201, 202}, [](std::uint32_t keysym) -> std::optional<std::uint8_t> {
    if (keysym == keysymOf(desktop::MediaKey::volumeUp)) return 123;
    return std::nullopt;
  });
}

std::vector<XStep> planAll(InputPlan& plan, const std::vector<desktop::SyntheticEvent>& events) {
  std::vector<XStep> steps;
  for (const auto& e : events) plan.plan(e, steps);
  return steps;
}

struct PlanCase {
  const char* name;
  std::vector<desktop::SyntheticEvent> events;
  std::vector<XStep> steps;
};

TEST(InputPlan, TurnsEventsIntoSteps) {
  const std::uint32_t eAcute = 0xE9, euro = 0x10020AC, flagD = 0x101F1E9, flagE = 0x101F1EA;
  const PlanCase cases[] = {
      {"a combination holds its modifiers only while the key is down",
       {key(kMacT, true, Modifier::cmd | Modifier::shift),
        key(kMacT, false, Modifier::cmd | Modifier::shift)},
       {K{kSuper, true}, K{kShift, true}, K{kT, true}, K{kT, false}, K{kShift, false},
        K{kSuper, false}}},
      {"ctrl+cmd+q presses Super before Control",
       {key(kMacQ, true, Modifier::ctrl | Modifier::cmd),
        key(kMacQ, false, Modifier::ctrl | Modifier::cmd)},
       {K{kSuper, true}, K{kControl, true}, K{kQ, true}, K{kQ, false}, K{kControl, false},
        K{kSuper, false}}},
      {"a modifier key alone posts nothing, so there is never a lone Super tap",
       {key(kMacCommand, true, Modifier::cmd), key(kMacCommand, false)},
       {}},
      {"a key up that was never pressed posts nothing", {key(kMacA, false, Modifier::opt)}, {}},
      {"a second key with other flags changes the held modifiers first",
       {key(kMacA, true, Modifier::opt), key(kMacT, true, Modifier::shift), key(kMacA, false),
        key(kMacT, false)},
       {K{kAlt, true}, K{kA, true}, K{kAlt, false}, K{kShift, true}, K{kT, true}, K{kA, false},
        K{kT, false}, K{kShift, false}}},
      {"text lets go of held modifiers and types each code point on a spare keycode",
       {key(kMacA, true, Modifier::ctrl), desktop::TextEvent{"é€é"}},
       {K{kControl, true}, K{kA, true}, K{kControl, false}, B{200, eAcute}, K{200, true},
        K{200, false}, B{201, euro}, K{201, true}, K{201, false}, K{200, true}, K{200, false}}},
      {"a flag is two code points, two presses",
       {desktop::TextEvent{"\U0001F1E9\U0001F1EA"}},
       {B{200, flagD}, K{200, true}, K{200, false}, B{201, flagE}, K{201, true}, K{201, false}}},
      {"the ring rebinds the least recently used keycode",
       {desktop::TextEvent{"abca"}, desktop::TextEvent{"d"}},
       {B{200, 'a'}, K{200, true}, K{200, false}, B{201, 'b'}, K{201, true}, K{201, false},
        B{202, 'c'}, K{202, true}, K{202, false}, K{200, true}, K{200, false}, B{201, 'd'},
        K{201, true}, K{201, false}}},
      {"a button moves the pointer only when it is elsewhere",
       {desktop::PointerMotion{5, 6}, desktop::ButtonEvent{desktop::MouseButton::left, true, 5, 6},
        desktop::ButtonEvent{desktop::MouseButton::right, false, 7, 8}},
       {XMotionStep{5, 6}, XButtonStep{1, true}, XMotionStep{7, 8}, XButtonStep{3, false}}},
      {"wheel clicks are presses of buttons 4 to 7",
       {desktop::WheelClicks{2, 0}, desktop::WheelClicks{-1, 1}, desktop::WheelClicks{0, -1}},
       {XButtonStep{4, true}, XButtonStep{4, false}, XButtonStep{4, true}, XButtonStep{4, false},
        XButtonStep{5, true}, XButtonStep{5, false}, XButtonStep{6, true}, XButtonStep{6, false},
        XButtonStep{7, true}, XButtonStep{7, false}}},
      {"a media key the keymap has uses its key, one it lacks goes on the ring",
       {desktop::MediaKeyEvent{desktop::MediaKey::volumeUp, true},
        desktop::MediaKeyEvent{desktop::MediaKey::volumeUp, false},
        desktop::MediaKeyEvent{desktop::MediaKey::next, true}},
       {K{123, true}, K{123, false}, B{200, keysymOf(desktop::MediaKey::next)}, K{200, true}}},
  };
  for (const auto& c : cases) {
    InputPlan plan = makePlan();
    EXPECT_EQ(planAll(plan, c.events), c.steps) << c.name;
  }
}

TEST(InputPlan, RestoreGivesBackEveryBoundKeycodeOnce) {
  InputPlan plan = makePlan();
  planAll(plan, {desktop::TextEvent{"abcd"}});
  EXPECT_TRUE(plan.hasBindings());
  std::vector<XStep> steps;
  plan.restore(steps);
  EXPECT_EQ(steps,
            (std::vector<XStep>{B{200, std::nullopt}, B{201, std::nullopt}, B{202, std::nullopt}}));
  EXPECT_FALSE(plan.hasBindings());
  // After a restore the same character is bound again.
  EXPECT_EQ(planAll(plan, {desktop::TextEvent{"d"}}).front(), XStep(B{201, 'd'}));
}

// Latin-1 and other code points come through the text peer test; these have no plain keysym.
TEST(InputPlan, ControlCharactersTypeTheirKeysOrNothing) {
  const std::map<char32_t, std::optional<std::uint32_t>> table{
      {U'\n', 0xFF0D}, {U'\t', 0xFF09}, {U'\x01', std::nullopt}, {U'\u0085', std::nullopt}};
  for (const auto& [c, keysym] : table)
    EXPECT_EQ(keysymOfCodePoint(c), keysym) << static_cast<std::uint32_t>(c);
}

}  // namespace
}  // namespace brindlet::platform
