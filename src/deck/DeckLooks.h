#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "deck/ReaderSource.h"
#include "profiles/KeySpec.h"
#include "protocol/DeckMessages.h"

namespace brindlet::deck {

// How a key looks on the phone: computed from its reader's value, an action's error, or its own
// label and symbol.

inline constexpr std::string_view errorPrefix = "Error: ";

// The look of a key with a live state for the reader's value: ring and symbol from the first
// matching rule in text order ("exists", "missing" or the exact value), the label from the
// reader's format, the value when the whole text is a finite number.
protocol::KeyState readerLook(const profiles::KeySpec& key, const profiles::KeyStateSpec& state,
                              const ReaderValue& value);

// A critical ring and "Error: " with the error's text.
protocol::KeyState errorLook(std::string_view description);
bool isErrorLook(const protocol::KeyState& look);
// The key's own label and symbol, no ring.
protocol::KeyState plainLook(const std::string& label, const std::string& symbol);

// The number a whole text spells in the C locale ("2.5", "-3", "+1e3"), whatever the user's
// locale; none for a leading blank, anything after the number, or a value that is not finite.
std::optional<double> numberValue(std::string_view text);

// Minutes and seconds, two digits each at least, minutes not wrapped: 65.9 s → "01:05",
// 7,200 s → "120:00".
std::string timerText(double seconds);

}  // namespace brindlet::deck
