#pragma once

#include <cstdint>
#include <optional>

#include "desktop/SyntheticEvent.h"

namespace brindlet::platform {

// macOS virtual key codes are key positions; the same position's Linux input code plus 8 is its
// X keycode under every evdev keymap. The one table that turns the phone's and the profiles' key
// codes into keys; nothing for codes without a key here (and for the fn key).
std::optional<std::uint8_t> xKeycodeOf(std::uint16_t macKeyCode);

// The modifier a macOS key code stands for (left and right keys alike), if it is one.
std::optional<desktop::Modifier> modifierOfKey(std::uint16_t macKeyCode);

// The X keycode of the left key that holds a modifier: Super, Alt, Control, Shift.
std::uint8_t xKeycodeOf(desktop::Modifier modifier);

// The keysym of a media key, an XF86Audio one.
std::uint32_t keysymOf(desktop::MediaKey key);

}  // namespace brindlet::platform
