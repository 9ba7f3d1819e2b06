#include "platform/linux/x11/InputPlan.h"

#include <unicode/utf8.h>

#include <algorithm>
#include <array>

#include "platform/linux/x11/KeyCodes.h"

namespace brindlet::platform {
namespace {

using desktop::Modifier;

// The order modifiers go down in; they come up in reverse.
constexpr std::array kModifierOrder{Modifier::cmd, Modifier::opt, Modifier::ctrl, Modifier::shift};

constexpr std::uint32_t kUnicodeKeysymBase = 0x01000000;

template <class... F>
struct Overloaded : F... {
  using F::operator()...;
};
template <class... F>
Overloaded(F...) -> Overloaded<F...>;

void wheel(int clicks, unsigned positive, unsigned negative, std::vector<XStep>& steps) {
  const unsigned button = clicks > 0 ? positive : negative;
  for (int i = 0; i < std::abs(clicks); ++i) {
    steps.push_back(XButtonStep{button, true});
    steps.push_back(XButtonStep{button, false});
  }
}

}  // namespace

std::optional<std::uint32_t> keysymOfCodePoint(char32_t c) {
  switch (c) {
    case U'\n':
    case U'\r':
      return 0xFF0D;  // Return
    case U'\t':
      return 0xFF09;  // Tab
    case U'\b':
      return 0xFF08;  // BackSpace
    case 0x1B:
      return 0xFF1B;  // Escape
    case 0x7F:
      return 0xFFFF;  // Delete
    default:
      break;
  }
  if (c < 0x20 || (c >= 0x80 && c < 0xA0) || c > 0x10FFFF) return std::nullopt;
  // Latin-1 keysyms are their code points; every other character has a Unicode keysym.
  if (c < 0x100) return static_cast<std::uint32_t>(c);
  return kUnicodeKeysymBase | static_cast<std::uint32_t>(c);
}

InputPlan::InputPlan(std::vector<std::uint8_t> spareKeycodes,
                     std::function<std::optional<std::uint8_t>(std::uint32_t)> keycodeOf)
    : keycodeOf_(std::move(keycodeOf)) {
  for (auto keycode : spareKeycodes) ring_.push_back({keycode, std::nullopt, 0});
}

void InputPlan::plan(const desktop::SyntheticEvent& event, std::vector<XStep>& steps) {
  std::visit(
      Overloaded{
          [&](const desktop::PointerMotion& e) {
            pointer_ = XMotionStep{e.x, e.y};
            steps.push_back(*pointer_);
          },
          [&](const desktop::ButtonEvent& e) {
            if (pointer_ != XMotionStep{e.x, e.y}) {
              pointer_ = XMotionStep{e.x, e.y};
              steps.push_back(*pointer_);
            }
            steps.push_back(XButtonStep{e.button == desktop::MouseButton::left ? 1u : 3u, e.down});
          },
          [&](const desktop::WheelClicks& e) {
            wheel(e.vertical, 4, 5, steps);
            wheel(e.horizontal, 6, 7, steps);
          },
          [&](const desktop::KeyEvent& e) { key(e, steps); },
          [&](const desktop::TextEvent& e) { text(e, steps); },
          [&](const desktop::MediaKeyEvent& e) {
            if (auto keycode = keycodeFor(keysymOf(e.key), steps))
              steps.push_back(XKeyStep{*keycode, e.down});
          },
      },
      event);
}

void InputPlan::matchModifiers(desktop::Modifiers wanted, std::vector<XStep>& steps) {
  for (auto it = kModifierOrder.rbegin(); it != kModifierOrder.rend(); ++it) {
    if (held_.has(*it) && !wanted.has(*it)) steps.push_back(XKeyStep{xKeycodeOf(*it), false});
  }
  for (auto m : kModifierOrder) {
    if (!held_.has(m) && wanted.has(m)) steps.push_back(XKeyStep{xKeycodeOf(m), true});
  }
  held_ = wanted;
}

void InputPlan::key(const desktop::KeyEvent& e, std::vector<XStep>& steps) {
  // A modifier key acts only through the flags of the keys it goes with: posting it alone would
  // be a lone Super tap, which desktops take as a command of their own.
  if (modifierOfKey(e.keyCode)) return;
  const auto keycode = xKeycodeOf(e.keyCode);
  if (!keycode) return;
  if (e.down) {
    matchModifiers(e.modifiers, steps);
    keysDown_.insert(*keycode);
    steps.push_back(XKeyStep{*keycode, true});
    return;
  }
  if (keysDown_.erase(*keycode) == 0) return;  // never pressed: nothing to let go of
  steps.push_back(XKeyStep{*keycode, false});
  if (keysDown_.empty()) matchModifiers({}, steps);
}

void InputPlan::text(const desktop::TextEvent& e, std::vector<XStep>& steps) {
  matchModifiers({}, steps);
  const auto* bytes = reinterpret_cast<const std::uint8_t*>(e.text.data());
  const auto length = static_cast<std::int32_t>(e.text.size());
  for (std::int32_t i = 0; i < length;) {
    UChar32 c;
    U8_NEXT(bytes, i, length, c);
    if (c < 0) c = 0xFFFD;
    if (auto keysym = keysymOfCodePoint(static_cast<char32_t>(c))) tap(*keysym, steps);
  }
}

void InputPlan::tap(std::uint32_t keysym, std::vector<XStep>& steps) {
  // A text's keysyms always go on the ring: the keymap's own key may need a shift level.
  if (auto keycode = ringKeycode(keysym, steps)) {
    steps.push_back(XKeyStep{*keycode, true});
    steps.push_back(XKeyStep{*keycode, false});
  }
}

std::optional<std::uint8_t> InputPlan::keycodeFor(std::uint32_t keysym, std::vector<XStep>& steps) {
  if (auto keycode = keycodeOf_(keysym)) return keycode;
  return ringKeycode(keysym, steps);
}

std::optional<std::uint8_t> InputPlan::ringKeycode(std::uint32_t keysym,
                                                   std::vector<XStep>& steps) {
  if (ring_.empty()) return std::nullopt;
  auto slot =
      std::find_if(ring_.begin(), ring_.end(), [&](const Slot& s) { return s.keysym == keysym; });
  if (slot == ring_.end()) {
    slot = std::min_element(ring_.begin(), ring_.end(),
                            [](const Slot& a, const Slot& b) { return a.lastUse < b.lastUse; });
    slot->keysym = keysym;
    bound_.insert(slot->keycode);
    steps.push_back(XBindStep{slot->keycode, keysym});
  }
  slot->lastUse = ++uses_;
  return slot->keycode;
}

void InputPlan::restore(std::vector<XStep>& steps) {
  for (auto keycode : bound_) steps.push_back(XBindStep{keycode, std::nullopt});
  bound_.clear();
  for (auto& slot : ring_) slot.keysym.reset();
}

}  // namespace brindlet::platform
