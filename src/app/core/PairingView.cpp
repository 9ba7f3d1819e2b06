#include "app/core/PairingView.h"

#include <unicode/uchar.h>
#include <unicode/utf8.h>

#include <cmath>
#include <numbers>

#include "design/DeckDesign.h"

namespace brindlet::app {
namespace {

using Stage = Pairing::Stage;

bool is(const PairingState& pairing, Stage stage) {
  return pairing && pairing->stage == stage;
}

std::string phoneName(const PairingState& pairing) {
  return pairing ? pairing->phone.name : "your iPhone";
}

}  // namespace

std::string pairingTitle(const PairingState& pairing) {
  if (is(pairing, Stage::lockedOut)) return "Too many attempts";
  return "Pair with " + phoneName(pairing);
}

std::string pairingMessage(const PairingState& pairing, const std::optional<std::string>& error) {
  if (!pairing) {
    if (error) return *error;
    return "Open " + std::string(design::DeckDesign::productName) +
           " on your iPhone, then pick it from the tray menu.";
  }
  switch (pairing->stage) {
    case Stage::asking:
      return "Asking " + phoneName(pairing) + " for a code…";
    case Stage::entering:
      if (pairing->mistake) {
        return "That code didn't match. " + std::to_string(pairing->triesLeft) +
               (pairing->triesLeft == 1 ? " try" : " tries") + " left.";
      }
      [[fallthrough]];
    case Stage::checking:
      return "Enter the 6-digit code shown on " + phoneName(pairing) + ".";
    case Stage::lockedOut:
      break;
  }
  return "Try again in 30 seconds.";
}

bool pairingMessageIsMistake(const PairingState& pairing) {
  return is(pairing, Stage::entering) && pairing->mistake;
}

bool pairingIconPulses(const PairingState& pairing) {
  return is(pairing, Stage::asking) || is(pairing, Stage::checking);
}

bool codeFieldEnabled(const PairingState& pairing) {
  return is(pairing, Stage::entering);
}

double codeAreaOpacity(const PairingState& pairing) {
  return codeFieldEnabled(pairing) ? 1.0 : 0.45;
}

std::string codeFieldHint(const PairingState& pairing) {
  return "Six digits, as shown on " + phoneName(pairing);
}

std::optional<std::size_t> outlinedBox(const PairingState& pairing, bool focused,
                                       std::size_t digits) {
  if (!codeFieldEnabled(pairing) || !focused || digits >= pairingCodeLength) return std::nullopt;
  return digits;
}

PairingActionElement pairingAction(const PairingState& pairing) {
  if (is(pairing, Stage::checking)) return {};
  if (is(pairing, Stage::asking) || is(pairing, Stage::entering))
    return {PairingActionElement::Kind::button, "Cancel", "Escape"};
  return {PairingActionElement::Kind::button, "Close", "Return"};
}

double shakeOffset(double t) {
  return 8 * std::sin(t * std::numbers::pi * 4);
}

// The phone's code is ASCII: a digit typed in another script is the same digit, and any other
// numeric character ("½", "²") could never match, so it would only burn a try.
CodeChange filterCode(std::string_view, std::string_view typed) {
  CodeChange change;
  const auto* bytes = reinterpret_cast<const std::uint8_t*>(typed.data());
  const auto length = static_cast<std::int32_t>(typed.size());
  for (std::int32_t i = 0; i < length && change.code.size() < pairingCodeLength;) {
    UChar32 c = 0;
    U8_NEXT(bytes, i, length, c);
    if (c >= 0 && u_charType(c) == U_DECIMAL_DIGIT_NUMBER)
      change.code.push_back(static_cast<char>('0' + u_charDigitValue(c)));
  }
  change.store = change.code != typed;
  change.submit = change.code.size() == pairingCodeLength;
  return change;
}

PairingReaction react(const PairingState& old, const PairingState& now) {
  PairingReaction reaction;
  reaction.close = !now && is(old, Stage::checking);
  reaction.shake = pairingMessageIsMistake(now);
  // A new request starts from an empty code: digits left from an earlier attempt would be
  // submitted by the first key pressed and burn a try.
  reaction.clearCode = reaction.shake || is(now, Stage::asking);
  reaction.focus = codeFieldEnabled(now);
  return reaction;
}

}  // namespace brindlet::app
