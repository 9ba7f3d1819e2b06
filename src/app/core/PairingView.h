#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "session/PhoneConnector.h"

namespace brindlet::app {

// What the pairing window shows for each state of the phone connector's pairing flow, and how it
// reacts to typing and to the flow's changes. No pairing in progress is an empty optional.
using Pairing = session::PhoneConnector::Pairing;
using PairingState = std::optional<Pairing>;

inline constexpr std::size_t pairingCodeLength = 6;

// "Too many attempts" once locked out, else "Pair with " and the phone's name.
std::string pairingTitle(const PairingState& pairing);
// The line under the title; the connector's error while no pairing is in progress.
std::string pairingMessage(const PairingState& pairing, const std::optional<std::string>& error);
// The message is drawn in red: a wrong code was typed.
bool pairingMessageIsMistake(const PairingState& pairing);
// The icon pulses while the phone or the code check is awaited.
bool pairingIconPulses(const PairingState& pairing);
// The code field takes input only while the code is to be typed.
bool codeFieldEnabled(const PairingState& pairing);
// The code area's opacity: 1 while the code is to be typed, 0.45 otherwise.
double codeAreaOpacity(const PairingState& pairing);
// The accessibility hint of the code field.
std::string codeFieldHint(const PairingState& pairing);
// The box outlined as the next to fill, if any: none once six digits are in.
std::optional<std::size_t> outlinedBox(const PairingState& pairing, bool focused,
                                       std::size_t digits);

// The element under the code: a spinner while checking, else a button that closes the window.
struct PairingActionElement {
  enum class Kind { spinner, button };
  Kind kind = Kind::spinner;
  std::string title;     // "Cancel", "Close"
  std::string shortcut;  // "Escape", "Return"
  friend bool operator==(const PairingActionElement&, const PairingActionElement&) = default;
};
PairingActionElement pairingAction(const PairingState& pairing);

// The code area's sideways offset in points at shake progress t: two full swings per unit.
double shakeOffset(double t);

// A change of the typed text, filtered: decimal digits of any script become ASCII 0 to 9,
// everything else goes, and the first six stay. `store` when the field must be set to `code`;
// `submit` when six digits are in.
struct CodeChange {
  std::string code;
  bool store = false;
  bool submit = false;
  friend bool operator==(const CodeChange&, const CodeChange&) = default;
};
CodeChange filterCode(std::string_view old, std::string_view typed);

// What the window does when the flow moves on.
struct PairingReaction {
  bool close = false;      // the code was accepted
  bool clearCode = false;  // a wrong code, or a new request
  bool shake = false;      // a wrong code
  bool focus = false;      // the code field's focus: only while the code is to be typed
  friend bool operator==(const PairingReaction&, const PairingReaction&) = default;
};
PairingReaction react(const PairingState& old, const PairingState& now);

}  // namespace brindlet::app
