#include "profiles/Shortcut.h"

#include <optional>
#include <utility>

#include "profiles/ProfileError.h"
#include "runtime/Unicode.h"

namespace brindlet::profiles {
namespace {

// Positions on the ANSI keyboard. Several names share a key: return and enter are both the
// main Return key (not the keypad's Enter), delete and backspace both delete backwards.
constexpr std::pair<std::string_view, std::uint16_t> kKeyCodes[] = {
    {"a", 0},          {"b", 11},      {"c", 8},        {"d", 2},
    {"e", 14},         {"f", 3},       {"g", 5},        {"h", 4},
    {"i", 34},         {"j", 38},      {"k", 40},       {"l", 37},
    {"m", 46},         {"n", 45},      {"o", 31},       {"p", 35},
    {"q", 12},         {"r", 15},      {"s", 1},        {"t", 17},
    {"u", 32},         {"v", 9},       {"w", 13},       {"x", 7},
    {"y", 16},         {"z", 6},       {"1", 18},       {"2", 19},
    {"3", 20},         {"4", 21},      {"5", 23},       {"6", 22},
    {"7", 26},         {"8", 28},      {"9", 25},       {"0", 29},
    {"-", 27},         {"=", 24},      {"[", 33},       {"]", 30},
    {"\\", 42},        {";", 41},      {"'", 39},       {"`", 50},
    {",", 43},         {".", 47},      {"/", 44},       {"return", 36},
    {"enter", 36},     {"tab", 48},    {"space", 49},   {"delete", 51},
    {"backspace", 51}, {"escape", 53}, {"esc", 53},     {"forwarddelete", 117},
    {"home", 115},     {"end", 119},   {"pageup", 116}, {"pagedown", 121},
    {"left", 123},     {"right", 124}, {"down", 125},   {"up", 126},
    {"f1", 122},       {"f2", 120},    {"f3", 99},      {"f4", 118},
    {"f5", 96},        {"f6", 97},     {"f7", 98},      {"f8", 100},
    {"f9", 101},       {"f10", 109},   {"f11", 103},    {"f12", 111},
};

constexpr std::pair<std::string_view, Shortcut::Modifier> kModifierWords[] = {
    {"cmd", Shortcut::Modifier::cmd},      {"command", Shortcut::Modifier::cmd},
    {"opt", Shortcut::Modifier::opt},      {"option", Shortcut::Modifier::opt},
    {"alt", Shortcut::Modifier::opt},      {"ctrl", Shortcut::Modifier::ctrl},
    {"control", Shortcut::Modifier::ctrl}, {"shift", Shortcut::Modifier::shift},
};

template <class Map, class Table>
Map mapOf(const Table& table) {
  Map map;
  for (const auto& [name, value] : table) map.emplace(name, value);
  return map;
}

std::optional<Shortcut> parseLowered(std::string_view text) {
  Shortcut result;
  for (;;) {
    const std::size_t plus = text.find('+');
    const std::string_view part = text.substr(0, plus);
    if (plus == std::string_view::npos) {
      const auto code = Shortcut::keyCodes().find(part);
      if (code == Shortcut::keyCodes().end()) return std::nullopt;
      result.key = std::string(part);
      result.keyCode = code->second;
      return result;
    }
    const auto word = Shortcut::modifierWords().find(part);
    if (word == Shortcut::modifierWords().end()) return std::nullopt;
    for (Shortcut::Modifier held : result.modifiers)
      if (held == word->second) return std::nullopt;
    result.modifiers.push_back(word->second);
    text.remove_prefix(plus + 1);
  }
}

}  // namespace

const std::map<std::string, std::uint16_t, std::less<>>& Shortcut::keyCodes() {
  static const auto codes = mapOf<std::map<std::string, std::uint16_t, std::less<>>>(kKeyCodes);
  return codes;
}

const std::map<std::string, Shortcut::Modifier, std::less<>>& Shortcut::modifierWords() {
  static const auto words =
      mapOf<std::map<std::string, Shortcut::Modifier, std::less<>>>(kModifierWords);
  return words;
}

Shortcut Shortcut::parse(std::string_view text) {
  auto parsed = parseLowered(runtime::lowercased(text));
  if (!parsed) throw ProfileError::invalidShortcut(std::string(text));
  return std::move(*parsed);
}

}  // namespace brindlet::profiles

std::size_t std::hash<brindlet::profiles::Shortcut>::operator()(
    const brindlet::profiles::Shortcut& shortcut) const noexcept {
  std::size_t h = std::hash<std::string>{}(shortcut.key) ^ (std::size_t{shortcut.keyCode} << 1);
  for (auto modifier : shortcut.modifiers)
    h = h * 31 + std::hash<std::string_view>{}(brindlet::profiles::wordOf(modifier));
  return h;
}
