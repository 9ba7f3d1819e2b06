#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "profiles/Words.h"

namespace brindlet::profiles {

// A key combination written as text, such as "ctrl+cmd+q": modifier words joined by "+", then
// one key name. Parsing is pure and lower-cases the whole text first (full Unicode mapping).
struct Shortcut {
  enum class Modifier { cmd, opt, ctrl, shift };

  std::vector<Modifier> modifiers;  // in the order written, none twice
  std::string key;                  // the key's name as written, lower-cased
  std::uint16_t keyCode = 0;        // the key's position on the keyboard, as a macOS key code

  // Throws ProfileError::invalidShortcut carrying the unchanged text. Nothing is trimmed or
  // guessed: a blank stays part of its word, and every fault gives the same error.
  static Shortcut parse(std::string_view text);

  // Key names and their codes: letters, digits, punctuation, named keys and f1 to f12.
  static const std::map<std::string, std::uint16_t, std::less<>>& keyCodes();
  // The words that may stand before the key.
  static const std::map<std::string, Modifier, std::less<>>& modifierWords();

  friend bool operator==(const Shortcut&, const Shortcut&) = default;
};

template <>
struct Words<Shortcut::Modifier> {
  static constexpr auto list = std::to_array<std::string_view>({"cmd", "opt", "ctrl", "shift"});
};

}  // namespace brindlet::profiles

template <>
struct std::hash<brindlet::profiles::Shortcut> {
  std::size_t operator()(const brindlet::profiles::Shortcut& shortcut) const noexcept;
};
