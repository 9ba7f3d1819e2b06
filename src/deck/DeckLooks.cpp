#include "deck/DeckLooks.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdint>

namespace brindlet::deck {
namespace {

using protocol::KeyState;
using protocol::RingState;

// The first rule, in text order, that the value meets.
template <class T>
const T* firstMatch(const std::optional<std::map<std::string, T>>& rules,
                    const std::optional<std::string>& value) {
  if (!rules) return nullptr;
  for (const auto& [when, result] : *rules) {  // std::map orders its texts bytewise
    const bool matches = when == "exists"    ? value.has_value()
                         : when == "missing" ? !value.has_value()
                                             : value && *value == when;
    if (matches) return &result;
  }
  return nullptr;
}

RingState ringOf(profiles::Ring ring) {
  switch (ring) {
    case profiles::Ring::good:
      return RingState::good;
    case profiles::Ring::warning:
      return RingState::warning;
    case profiles::Ring::critical:
      break;
  }
  return RingState::critical;
}

std::string labelOf(const profiles::KeySpec& key, const profiles::Reader& reader,
                    const std::optional<std::string>& value) {
  if (!reader.format || !value) return key.label;
  const std::string& format = *reader.format;
  static constexpr std::string_view placeholder = "{value}";
  if (format.find(placeholder) == std::string::npos) return *value;
  std::string label;
  std::size_t from = 0;
  for (std::size_t at; (at = format.find(placeholder, from)) != std::string::npos;) {
    label.append(format, from, at - from).append(*value);
    from = at + placeholder.size();
  }
  return label.append(format, from);
}

std::string twoDigits(std::int64_t number) {
  char buffer[24];
  auto end = std::to_chars(buffer, buffer + sizeof buffer, number).ptr;
  std::string text(buffer, end);
  return text.size() < 2 ? "0" + text : text;
}

}  // namespace

KeyState readerLook(const profiles::KeySpec& key, const profiles::KeyStateSpec& state,
                    const ReaderValue& value) {
  KeyState look;
  const auto* ring = firstMatch(state.ring, value.value);
  look.ring = ring ? ringOf(*ring) : RingState::none;
  const auto* symbol = firstMatch(state.symbolWhen, value.value);
  look.symbol = symbol ? *symbol : key.symbol;
  look.label = labelOf(key, state.reader, value.value);
  if (value.value) look.value = numberValue(*value.value);
  look.lines = value.lines;
  return look;
}

KeyState errorLook(std::string_view description) {
  KeyState look;
  look.ring = RingState::critical;
  look.label = std::string(errorPrefix).append(description);
  return look;
}

bool isErrorLook(const KeyState& look) {
  return look.label && look.label->starts_with(errorPrefix);
}

KeyState plainLook(const std::string& label, const std::string& symbol) {
  KeyState look;
  look.ring = RingState::none;
  look.label = label;
  look.symbol = symbol;
  return look;
}

std::optional<double> numberValue(std::string_view text) {
  // from_chars reads the C locale's form only; it takes no sign "+", so one is skipped here.
  if (text.starts_with('+') && text.size() > 1 && text[1] != '-' && text[1] != '+')
    text.remove_prefix(1);
  double number = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), number);
  if (error != std::errc() || end != text.data() + text.size()) return std::nullopt;
  // JSON cannot carry nan or inf: such a value would make the whole message fail to encode.
  if (!std::isfinite(number)) return std::nullopt;
  return number;
}

std::string timerText(double seconds) {
  // Clamped so that the conversion is defined for any reading.
  const auto whole = static_cast<std::int64_t>(seconds > 0 ? std::min(seconds, 1e15) : 0.0);
  return twoDigits(whole / 60) + ":" + twoDigits(whole % 60);
}

}  // namespace brindlet::deck
