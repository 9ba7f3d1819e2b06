// The pairing window's texts and looks over every state of the flow, the code filter driven the
// way a text field drives it, and the window's reactions to the flow.

#include "app/core/PairingView.h"

#include <gtest/gtest.h>

#include "app/core/Phones.h"

namespace brindlet::app {
namespace {

const auto ann = pairablePhone("Ann's iPhone", "A");
using Action = PairingActionElement;

struct StateCase {
  PairingState pairing;
  std::optional<std::string> error;
  std::string title;
  std::string message;
  Action action;
  double opacity;
  bool pulses;
};

TEST(PairingView, EveryState) {
  const Action cancel{Action::Kind::button, "Cancel", "Escape"};
  const Action close{Action::Kind::button, "Close", "Return"};
  const Action spinner{};
  const StateCase cases[] = {
      {std::nullopt, std::nullopt, "Pair with your iPhone",
       "Open Brindlet on your iPhone, then pick it from the tray menu.", close, 0.45, false},
      {std::nullopt, "Couldn't reach Ann's iPhone. Make sure Brindlet is open on it.",
       "Pair with your iPhone", "Couldn't reach Ann's iPhone. Make sure Brindlet is open on it.",
       close, 0.45, false},
      {Pairing::asking(ann), std::nullopt, "Pair with Ann's iPhone",
       "Asking Ann's iPhone for a code…", cancel, 0.45, true},
      {Pairing::entering(ann, 3, false), "stale", "Pair with Ann's iPhone",
       "Enter the 6-digit code shown on Ann's iPhone.", cancel, 1.0, false},
      {Pairing::entering(ann, 2, true), std::nullopt, "Pair with Ann's iPhone",
       "That code didn't match. 2 tries left.", cancel, 1.0, false},
      {Pairing::entering(ann, 1, true), std::nullopt, "Pair with Ann's iPhone",
       "That code didn't match. 1 try left.", cancel, 1.0, false},
      {Pairing::checking(ann, 2), std::nullopt, "Pair with Ann's iPhone",
       "Enter the 6-digit code shown on Ann's iPhone.", spinner, 0.45, true},
      {Pairing::lockedOut(ann), std::nullopt, "Too many attempts", "Try again in 30 seconds.",
       close, 0.45, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.message);
    EXPECT_EQ(pairingTitle(c.pairing), c.title);
    EXPECT_EQ(pairingMessage(c.pairing, c.error), c.message);
    EXPECT_EQ(pairingAction(c.pairing), c.action);
    EXPECT_EQ(codeAreaOpacity(c.pairing), c.opacity);
    EXPECT_EQ(codeFieldEnabled(c.pairing), c.opacity == 1.0);
    EXPECT_EQ(pairingIconPulses(c.pairing), c.pulses);
    EXPECT_EQ(pairingMessageIsMistake(c.pairing), c.message.rfind("That code", 0) == 0);
  }
}

TEST(PairingView, OutlinedBoxAndShake) {
  const PairingState entering = Pairing::entering(ann, 3, false);
  EXPECT_EQ(outlinedBox(entering, true, 0), 0u);
  EXPECT_EQ(outlinedBox(entering, true, 5), 5u);
  EXPECT_EQ(outlinedBox(entering, true, 6), std::nullopt);
  EXPECT_EQ(outlinedBox(entering, false, 2), std::nullopt);
  EXPECT_EQ(outlinedBox(Pairing::checking(ann, 3), true, 2), std::nullopt);
  EXPECT_NEAR(shakeOffset(0.125), 8, 1e-9);
  EXPECT_NEAR(shakeOffset(0.375), -8, 1e-9);
  EXPECT_NEAR(shakeOffset(1), 0, 1e-9);
}

// A connector that, like the real one, takes a code only while it is to be typed.
struct FakeConnector {
  PairingState pairing = Pairing::entering(ann, 3, false);
  std::vector<std::string> checked;
  void submit(const std::string& code) {
    if (!pairing || pairing->stage != Pairing::Stage::entering) return;
    checked.push_back(code);
    pairing = Pairing::checking(ann, pairing->triesLeft);
  }
};

// The hidden text field: every change goes through the filter, including the filter's own
// write back into the field.
struct CodeField {
  FakeConnector& connector;
  std::string code;

  void type(const std::string& typed) {
    const std::string old = std::exchange(code, typed);
    changed(old, typed);
  }
  void changed(const std::string& old, const std::string& now) {
    const auto change = filterCode(old, now);
    if (change.store) {
      code = change.code;
      changed(now, change.code);
    }
    if (change.submit) connector.submit(change.code);
  }
};

TEST(PairingView, CodeFilter) {
  const struct {
    std::string typed;
    std::string kept;
    std::vector<std::string> checked;
  } cases[] = {
      {"12a3", "123", {}},
      {"1 2 3 4 5 6 7 8 9", "123456", {"123456"}},
      {"١٢٣٤٥٦", "123456", {"123456"}},
      {"１２３", "123", {}},
      {"½Ⅻ²①", "", {}},
      {"۱۲۳۴۵۶", "123456", {"123456"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.typed);
    FakeConnector connector;
    CodeField field{connector, ""};
    field.type(c.typed);
    EXPECT_EQ(field.code, c.kept);
    EXPECT_EQ(connector.checked, c.checked);
  }
  EXPECT_EQ(filterCode("12", "123"), (CodeChange{"123", false, false}));
}

TEST(PairingView, Reactions) {
  const struct {
    PairingState old;
    PairingState now;
    PairingReaction reaction;
  } cases[] = {
      {Pairing::checking(ann, 3), std::nullopt, {true, false, false, false}},
      {Pairing::checking(ann, 3), Pairing::entering(ann, 2, true), {false, true, true, true}},
      {Pairing::asking(ann), Pairing::entering(ann, 3, false), {false, false, false, true}},
      {Pairing::entering(ann, 3, false), Pairing::checking(ann, 3), {}},
      {Pairing::checking(ann, 1), Pairing::lockedOut(ann), {}},
      {Pairing::lockedOut(ann), Pairing::asking(ann), {false, true, false, false}},
      {std::nullopt, Pairing::asking(ann), {false, true, false, false}},
      {Pairing::entering(ann, 3, false), std::nullopt, {}},
  };
  for (const auto& c : cases) EXPECT_EQ(react(c.old, c.now), c.reaction);
}

}  // namespace
}  // namespace brindlet::app
