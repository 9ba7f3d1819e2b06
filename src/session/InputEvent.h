#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <variant>

#include "desktop/WindowSystem.h"

namespace brindlet::session {

// A point in root-window pixels; fractional while it is worked out.
struct Point {
  double x = 0;
  double y = 0;
  friend bool operator==(const Point&, const Point&) = default;
};

// The phone's display: its rectangle in root-window pixels and its scale, the pixels per point.
// Distances the input rules give in points are multiplied by the scale.
struct DisplayRect {
  desktop::Rect bounds;
  double scale = 1;

  double minX() const { return bounds.x; }
  double minY() const { return bounds.y; }
  double width() const { return bounds.width; }
  double height() const { return bounds.height; }
  double maxX() const { return minX() + width(); }
  double maxY() const { return minY() + height(); }
  double midX() const { return minX() + width() / 2; }
  double midY() const { return minY() + height() / 2; }
  // Half-open on the far sides, as a pixel grid is.
  bool contains(Point p) const {
    return p.x >= minX() && p.x < maxX() && p.y >= minY() && p.y < maxY();
  }
  friend bool operator==(const DisplayRect&, const DisplayRect&) = default;
};

// The input events the rules produce, numbered as the desktop's own event records are: the event
// types, buttons, fields and flags below. They carry more than X can deliver (click state,
// pressure, phases, deltas); the injector maps them onto what the poster can post.
enum class MouseType : std::uint8_t {
  leftDown = 1,
  leftUp = 2,
  rightDown = 3,
  rightUp = 4,
  moved = 5,
  leftDragged = 6,
  rightDragged = 7,
};

struct MouseInput {
  MouseType type = MouseType::moved;
  Point location;
  int button = 0;  // 0 left, 1 right
  std::int64_t clickState = 1;
  std::optional<double> pressure;
  std::int64_t deltaX = 0;  // relative motion reported with a move, in pixels
  std::int64_t deltaY = 0;
  friend bool operator==(const MouseInput&, const MouseInput&) = default;
};

// A pixel scroll: wheel 1 vertical, wheel 2 horizontal, signed as the phone sends them.
struct ScrollInput {
  std::int32_t wheel1 = 0;
  std::int32_t wheel2 = 0;
  Point location;
  std::int64_t continuous = 1;
  std::optional<std::int64_t> scrollPhase;    // 1 began, 2 changed, 4 ended
  std::optional<std::int64_t> momentumPhase;  // 1 began, 2 continued, 3 ended
  friend bool operator==(const ScrollInput&, const ScrollInput&) = default;
};

// Modifier flags of key events.
inline constexpr std::uint64_t kCommandFlag = 0x100000;
inline constexpr std::uint64_t kAlternateFlag = 0x80000;
inline constexpr std::uint64_t kControlFlag = 0x40000;
inline constexpr std::uint64_t kShiftFlag = 0x20000;

// A key by its position (a macOS virtual key code); with `units` set it types those UTF-16 code
// units instead of the key's own character.
struct KeyInput {
  std::uint16_t keyCode = 0;
  bool down = true;
  std::uint64_t flags = 0;
  std::u16string units;
  friend bool operator==(const KeyInput&, const KeyInput&) = default;
};

using InputEvent = std::variant<MouseInput, ScrollInput, KeyInput>;

}  // namespace brindlet::session
