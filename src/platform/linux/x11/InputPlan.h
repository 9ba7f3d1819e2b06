#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <set>
#include <variant>
#include <vector>

#include "desktop/SyntheticEvent.h"

namespace brindlet::platform {

// What the event poster asks of the X server, one step at a time.
struct XKeyStep {
  std::uint8_t keycode = 0;
  bool down = true;
  friend bool operator==(const XKeyStep&, const XKeyStep&) = default;
};
struct XMotionStep {
  int x = 0;
  int y = 0;
  friend bool operator==(const XMotionStep&, const XMotionStep&) = default;
};
struct XButtonStep {
  unsigned button = 1;  // 1 left, 3 right, 4 to 7 the wheels
  bool down = true;
  friend bool operator==(const XButtonStep&, const XButtonStep&) = default;
};
// Binds a keysym to a spare keycode; keysym nothing gives the keycode its own symbols back.
struct XBindStep {
  std::uint8_t keycode = 0;
  std::optional<std::uint32_t> keysym;
  friend bool operator==(const XBindStep&, const XBindStep&) = default;
};
using XStep = std::variant<XKeyStep, XMotionStep, XButtonStep, XBindStep>;

// The keysym a code point is typed as; nothing for control characters without a key.
std::optional<std::uint32_t> keysymOfCodePoint(char32_t codePoint);

// Turns synthetic events into X steps. Modifiers are pressed to match each key's flags and
// released once no key is held; text and keysyms the keymap lacks go onto spare keycodes taken
// from a ring, least recently used first, so that a keycode is rebound as late as possible (a
// client looks a keysym up only when it reads the event). Pure: the poster runs the steps.
class InputPlan {
 public:
  // The keycodes nothing is bound to, and where the keymap holds a keysym unshifted.
  InputPlan(std::vector<std::uint8_t> spareKeycodes,
            std::function<std::optional<std::uint8_t>(std::uint32_t keysym)> keycodeOf);

  void plan(const desktop::SyntheticEvent& event, std::vector<XStep>& steps);
  // Gives every spare keycode bound since the last restore its own symbols back.
  void restore(std::vector<XStep>& steps);
  bool hasBindings() const { return !bound_.empty(); }

 private:
  struct Slot {
    std::uint8_t keycode;
    std::optional<std::uint32_t> keysym;
    std::uint64_t lastUse = 0;
  };

  void key(const desktop::KeyEvent& event, std::vector<XStep>& steps);
  void text(const desktop::TextEvent& event, std::vector<XStep>& steps);
  void matchModifiers(desktop::Modifiers wanted, std::vector<XStep>& steps);
  void tap(std::uint32_t keysym, std::vector<XStep>& steps);
  // The keycode that types the keysym, binding it on a spare keycode when needed.
  std::optional<std::uint8_t> keycodeFor(std::uint32_t keysym, std::vector<XStep>& steps);
  // The least recently used spare keycode, bound to the keysym unless it holds it already.
  std::optional<std::uint8_t> ringKeycode(std::uint32_t keysym, std::vector<XStep>& steps);

  std::vector<Slot> ring_;
  std::function<std::optional<std::uint8_t>(std::uint32_t)> keycodeOf_;
  std::uint64_t uses_ = 0;
  std::set<std::uint8_t> bound_;
  desktop::Modifiers held_;
  std::set<std::uint8_t> keysDown_;
  std::optional<XMotionStep> pointer_;
};

}  // namespace brindlet::platform
