#include <gtest/gtest.h>

#include <QApplication>
#include <QLabel>
#include <QLineEdit>
#include <QPointer>
#include <QPushButton>
#include <QTest>

#include "app/ui/PairingWindow.h"
#include "support/QtHarness.h"

namespace brindlet::app::ui {
namespace {

using Action = PairingLook::Action;
using testsupport::processEventsUntil;

PairingCodeField::Filtered digitsOnly(const std::string&, const std::string& typed) {
  std::string kept;
  for (char c : typed)
    if (c >= '0' && c <= '9' && kept.size() < 6) kept += c;
  return {kept, kept.size() == 6};
}

PairingLook lookOf(Action action, bool entering, bool pulse, bool mistake = false) {
  PairingLook look;
  look.title = "Pair with Ada's iPhone";
  look.message = mistake ? "That code didn't match. 2 tries left."
                         : "Enter the 6-digit code shown on Ada's iPhone.";
  look.mistake = mistake;
  look.pulse = pulse;
  look.entering = entering;
  look.phoneName = "Ada's iPhone";
  look.action = action;
  return look;
}

struct PairingWindowTest : ::testing::Test {
  std::vector<std::string> submitted;
  int closedCount = 0;
  int built = 0;
  SingleWindow slot{[this] {
    ++built;
    return new PairingWindow(
        digitsOnly, [this](const std::string& code) { submitted.push_back(code); },
        [this] { ++closedCount; });
  }};

  PairingWindow* show(const PairingLook& look) {
    auto* window = static_cast<PairingWindow*>(slot.show());
    window->setLook(look);
    window->activateWindow();
    EXPECT_TRUE(QTest::qWaitForWindowActive(window));
    return window;
  }
};

TEST_F(PairingWindowTest, ShowsEachStateAsItsLookSays) {
  PairingWindow* window = show(lookOf(Action::cancel, false, true));
  EXPECT_EQ(window->windowTitle(), QStringLiteral("Pair iPhone"));
  EXPECT_TRUE(window->windowFlags().testFlag(Qt::WindowStaysOnTopHint));
  EXPECT_EQ(window->width(), 420);
  EXPECT_EQ(window->codeField()->field()->accessibleName(), QStringLiteral("Pairing code"));
  EXPECT_EQ(window->codeField()->field()->accessibleDescription(),
            QStringLiteral("Six digits, as shown on Ada's iPhone"));
  struct Case {
    PairingLook look;
    bool buttonShown;
    const char* button;
    bool pulses;
  };
  const Case cases[] = {{lookOf(Action::cancel, false, true), true, "Cancel", true},
                        {lookOf(Action::cancel, true, false), true, "Cancel", false},
                        {lookOf(Action::spinner, false, true), false, "", true},
                        {lookOf(Action::close, false, false), true, "Close", false}};
  for (const Case& c : cases) {
    window->setLook(c.look);
    EXPECT_EQ(window->actionButton()->isVisibleTo(window), c.buttonShown);
    if (c.buttonShown) {
      EXPECT_EQ(window->actionButton()->text(), QString::fromUtf8(c.button));
    }
    EXPECT_EQ(window->iconPulses(), c.pulses);
    EXPECT_EQ(window->codeField()->entering(), c.look.entering);
  }
  window->setLook(lookOf(Action::cancel, true, false, true));
  EXPECT_GT(window->messageLabel()->palette().color(QPalette::WindowText).red(), 200);
}

TEST_F(PairingWindowTest, TypedDigitsSubmitOnceAndAMistakeClearsShakesAndFocuses) {
  PairingWindow* window = show(lookOf(Action::cancel, true, false));
  ASSERT_TRUE(window->codeField()->fieldHasFocus());
  QTest::keyClicks(window->codeField()->field(), "12a3");
  EXPECT_EQ(window->codeField()->code(), "123");
  QTest::keyClicks(window->codeField()->field(), "456");
  EXPECT_EQ(submitted, std::vector<std::string>{"123456"});
  window->setLook(lookOf(Action::spinner, false, true));
  window->react({.close = false, .clearCode = false, .shake = false, .focus = false});
  EXPECT_FALSE(window->codeField()->fieldHasFocus());
  window->setLook(lookOf(Action::cancel, true, false, true));
  window->react({.close = false, .clearCode = true, .shake = true, .focus = true});
  EXPECT_EQ(window->codeField()->code(), "");
  EXPECT_TRUE(window->codeField()->shaking());
  EXPECT_TRUE(window->codeField()->fieldHasFocus());
}

TEST_F(PairingWindowTest, ShowingTwiceKeepsOneWindowAndItsDigits) {
  PairingWindow* window = show(lookOf(Action::cancel, true, false));
  QTest::keyClicks(window->codeField()->field(), "12");
  EXPECT_EQ(slot.show(), window);
  EXPECT_EQ(window->codeField()->code(), "12");
  EXPECT_EQ(built, 1);
}

TEST_F(PairingWindowTest, EveryWayOfClosingCancelsOnce) {
  struct Case {
    const char* name;
    PairingLook look;
    std::function<void(PairingWindow*)> close;
  };
  const Case cases[] = {
      {"escape", lookOf(Action::cancel, true, false),
       [](PairingWindow* w) { QTest::keyClick(w->codeField()->field(), Qt::Key_Escape); }},
      {"return", lookOf(Action::close, false, false),
       [](PairingWindow* w) { QTest::keyClick(w, Qt::Key_Return); }},
      {"close control", lookOf(Action::spinner, false, true),
       [](PairingWindow* w) { w->closeControl()->click(); }},
      {"code taken", lookOf(Action::spinner, false, true),
       [](PairingWindow* w) {
         w->react({.close = true, .clearCode = false, .shake = false, .focus = false});
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    closedCount = 0;
    QPointer<PairingWindow> window = show(c.look);
    c.close(window);
    ASSERT_TRUE(processEventsUntil([&] { return window.isNull(); }));
    EXPECT_EQ(closedCount, 1);
  }
  // Return does nothing while the phone is being asked, Escape nothing once it is over.
  PairingWindow* asking = show(lookOf(Action::cancel, false, true));
  QTest::keyClick(asking, Qt::Key_Return);
  asking->setLook(lookOf(Action::close, false, false));
  QTest::keyClick(asking, Qt::Key_Escape);
  EXPECT_TRUE(asking->isVisible());
}

}  // namespace
}  // namespace brindlet::app::ui
