#pragma once

#include <cstdint>
#include <string>
#include <variant>

namespace brindlet::desktop {

// Modifier keys held with a key, as a set of flags: cmd is Super, opt is Alt, ctrl is Control.
enum class Modifier : std::uint8_t { cmd = 1, opt = 2, ctrl = 4, shift = 8 };

class Modifiers {
 public:
  constexpr Modifiers() = default;
  constexpr Modifiers(Modifier m) : bits_(static_cast<std::uint8_t>(m)) {}
  constexpr bool has(Modifier m) const { return bits_ & static_cast<std::uint8_t>(m); }
  constexpr Modifiers operator|(Modifiers other) const { return fromBits(bits_ | other.bits_); }
  constexpr Modifiers& operator|=(Modifiers other) { return *this = *this | other; }
  constexpr bool empty() const { return bits_ == 0; }
  constexpr std::uint8_t bits() const { return bits_; }
  static constexpr Modifiers fromBits(unsigned bits) {
    Modifiers m;
    m.bits_ = static_cast<std::uint8_t>(bits & 15u);
    return m;
  }
  friend constexpr bool operator==(Modifiers, Modifiers) = default;

 private:
  std::uint8_t bits_ = 0;
};

constexpr Modifiers operator|(Modifier a, Modifier b) {
  return Modifiers(a) | Modifiers(b);
}

enum class MouseButton : std::uint8_t { left, right };
enum class MediaKey : std::uint8_t { volumeUp, volumeDown, mute, playPause, next, previous };

// The pointer moves to a point in root-window pixels.
struct PointerMotion {
  int x = 0;
  int y = 0;
  friend bool operator==(const PointerMotion&, const PointerMotion&) = default;
};

// A button goes down or up at a point: the pointer moves there first when it is elsewhere.
struct ButtonEvent {
  MouseButton button = MouseButton::left;
  bool down = true;
  int x = 0;
  int y = 0;
  friend bool operator==(const ButtonEvent&, const ButtonEvent&) = default;
};

// Wheel clicks, each a press and release: vertical > 0 scrolls up, < 0 down; horizontal > 0
// scrolls left, < 0 right (the wheel's own signs, as a pixel scroll delta carries them).
struct WheelClicks {
  int vertical = 0;
  int horizontal = 0;
  friend bool operator==(const WheelClicks&, const WheelClicks&) = default;
};

// A key by its position, given as a macOS virtual key code. The modifiers are pressed to match
// before it goes down, and released once no key is held any more. Modifier keys themselves are
// never posted alone: they act only through the flags of the keys they go with.
struct KeyEvent {
  std::uint16_t keyCode = 0;
  bool down = true;
  Modifiers modifiers;
  friend bool operator==(const KeyEvent&, const KeyEvent&) = default;
};

// Text typed whatever the keyboard layout: every code point arrives as its own key press.
struct TextEvent {
  std::string text;  // UTF-8
  friend bool operator==(const TextEvent&, const TextEvent&) = default;
};

struct MediaKeyEvent {
  MediaKey key = MediaKey::playPause;
  bool down = true;
  friend bool operator==(const MediaKeyEvent&, const MediaKeyEvent&) = default;
};

using SyntheticEvent =
    std::variant<PointerMotion, ButtonEvent, WheelClicks, KeyEvent, TextEvent, MediaKeyEvent>;

}  // namespace brindlet::desktop
