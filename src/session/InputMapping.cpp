#include "session/InputMapping.h"

#include <algorithm>
#include <cmath>

#include <unicode/unistr.h>

namespace brindlet::session {
namespace {

int pixel(double coordinate) {
  // A drag carried past the edge for long may leave any screen far behind; X clamps it anyway.
  return static_cast<int>(std::lround(std::clamp(coordinate, -1e9, 1e9)));
}

desktop::PointerMotion motion(Point p) {
  return {pixel(p.x), pixel(p.y)};
}

desktop::Modifiers modifiersOf(std::uint64_t flags) {
  desktop::Modifiers m;
  if (flags & kCommandFlag) m |= desktop::Modifier::cmd;
  if (flags & kAlternateFlag) m |= desktop::Modifier::opt;
  if (flags & kControlFlag) m |= desktop::Modifier::ctrl;
  if (flags & kShiftFlag) m |= desktop::Modifier::shift;
  return m;
}

std::string utf8(const std::u16string& units) {
  std::string text;
  icu::UnicodeString(units.data(), static_cast<std::int32_t>(units.size())).toUTF8String(text);
  return text;
}

std::vector<desktop::SyntheticEvent> mapMouse(const MouseInput& e) {
  const auto at = motion(e.location);
  const auto button = e.button == 0 ? desktop::MouseButton::left : desktop::MouseButton::right;
  switch (e.type) {
    case MouseType::leftDown:
    case MouseType::rightDown:
      return {desktop::ButtonEvent{button, true, at.x, at.y}};
    case MouseType::leftUp:
    case MouseType::rightUp:
      return {desktop::ButtonEvent{button, false, at.x, at.y}};
    default:
      return {at};
  }
}

}  // namespace

std::int64_t InputMapping::clicks(std::int64_t& pixels, std::int32_t amount) {
  pixels += amount;
  const std::int64_t whole = pixels / kPixelsPerClick;
  pixels -= whole * kPixelsPerClick;
  return std::clamp(whole, -kMaxClicksPerScroll, kMaxClicksPerScroll);
}

std::vector<desktop::SyntheticEvent> InputMapping::map(const InputEvent& event) {
  if (const auto* mouse = std::get_if<MouseInput>(&event)) return mapMouse(*mouse);
  if (const auto* key = std::get_if<KeyInput>(&event)) {
    if (key->units.empty())
      return {desktop::KeyEvent{key->keyCode, key->down, modifiersOf(key->flags)}};
    // A character is typed once, on its key-down.
    if (key->down) return {desktop::TextEvent{utf8(key->units)}};
    return {};
  }
  const auto& scroll = std::get<ScrollInput>(event);
  // A new gesture starts counting from nothing; its momentum goes on with what it left.
  if (scroll.scrollPhase == 1) verticalPixels_ = horizontalPixels_ = 0;
  const auto vertical = clicks(verticalPixels_, scroll.wheel1);
  const auto horizontal = clicks(horizontalPixels_, scroll.wheel2);
  if (vertical == 0 && horizontal == 0) return {};
  // X scrolls what is under the pointer: it goes to the scroll's location first.
  return {motion(scroll.location),
          desktop::WheelClicks{static_cast<int>(vertical), static_cast<int>(horizontal)}};
}

}  // namespace brindlet::session
