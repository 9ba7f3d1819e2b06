#include <gtest/gtest.h>

#include <QApplication>
#include <QClipboard>
#include <QGuiApplication>
#include <QLineEdit>
#include <QMouseEvent>
#include <QScreen>
#include <QTest>

#include <memory>

#include "app/ui/FramelessWindow.h"
#include "app/ui/Look.h"
#include "app/ui/PairingCodeField.h"
#include "design/Symbols.h"
#include "support/QtHarness.h"

namespace brindlet::app::ui {
namespace {

using testsupport::processEventsFor;
using testsupport::processEventsUntil;

void sendMouse(QWidget* to, QEvent::Type type, QPoint at, Qt::MouseButtons buttons) {
  QMouseEvent event(type, QPointF(at), QPointF(to->mapToGlobal(at)), Qt::LeftButton, buttons,
                    Qt::NoModifier);
  QApplication::sendEvent(to, &event);
}

TEST(Look, TextStylesGoByPixelSize) {
  struct Case {
    TextStyle style;
    int pixels;
    bool bold;
  };
  const Case cases[] = {{TextStyle::title, 22, false},  {TextStyle::title2, 17, false},
                        {TextStyle::title3, 15, false}, {TextStyle::headline, 13, true},
                        {TextStyle::body, 13, false},   {TextStyle::callout, 12, false}};
  for (const Case& c : cases) {
    const QFont font = fontOf(c.style);
    EXPECT_EQ(font.pixelSize(), c.pixels);
    EXPECT_EQ(font.bold(), c.bold);
  }
}

// Every symbol the menu and the windows show is drawn from the icon theme, none as a letter.
TEST(Look, EverySymbolOfTheMenuAndTheWindowsHasAnIcon) {
  for (const char* symbol :
       {"rectangle.on.rectangle", "exclamationmark.triangle", "macbook.and.iphone", "clock",
        "hand.tap.fill", "cable.connector", "checkmark", "rectangle.dashed.badge.record",
        "accessibility", "checkmark.circle.fill", "circle.dashed", "iphone", "wifi", "hand.tap",
        "hand.draw", "hand.raised.fingers.spread", "iphone.radiowaves.left.and.right", "arrow.up",
        "xmark"})
    EXPECT_FALSE(design::adwaitaIconFor(symbol).empty()) << symbol;
}

TEST(FramelessWindow, ListsItsTitleDrawsNoFrameAndSitsInTheMiddleInTheDark) {
  FramelessWindow window(QStringLiteral("Welcome to Brindlet"), QSize(640, 580));
  window.show();
  EXPECT_EQ(window.windowTitle(), QStringLiteral("Welcome to Brindlet"));
  EXPECT_TRUE(window.windowFlags().testFlag(Qt::FramelessWindowHint));
  EXPECT_EQ(window.size(), QSize(640, 580));
  const QRect screen = QGuiApplication::primaryScreen()->geometry();
  EXPECT_EQ(window.geometry().center(), screen.center());
  EXPECT_LT(window.palette().color(QPalette::Window).lightness(), 64);
  EXPECT_GT(window.palette().color(QPalette::WindowText).lightness(), 192);
}

TEST(FramelessWindow, MovesWhenItsBackgroundIsDragged) {
  FramelessWindow window(QStringLiteral("Pair iPhone"), QSize(420, 300));
  window.show();
  const QPoint before = window.pos();
  sendMouse(&window, QEvent::MouseButtonPress, {200, 150}, Qt::LeftButton);
  sendMouse(&window, QEvent::MouseMove, {230, 170}, Qt::LeftButton);
  sendMouse(&window, QEvent::MouseButtonRelease, {230, 170}, Qt::NoButton);
  EXPECT_EQ(window.pos(), before + QPoint(30, 20));
}

TEST(SingleWindow, ShowsOneWindowAndBuildsANewOneAfterAClose) {
  int built = 0;
  SingleWindow slot([&] {
    ++built;
    return new FramelessWindow(QStringLiteral("Pair iPhone"), QSize(420, 300));
  });
  QWidget* first = slot.show();
  EXPECT_EQ(slot.show(), first);
  EXPECT_EQ(built, 1);
  // Our own close control closes it, and the closed window is gone.
  auto* frameless = static_cast<FramelessWindow*>(first);
  ASSERT_NE(frameless->closeControl(), nullptr);
  frameless->closeControl()->click();
  ASSERT_TRUE(processEventsUntil([&] { return slot.window() == nullptr; }));
  QWidget* second = slot.show();
  EXPECT_NE(second, nullptr);
  EXPECT_EQ(built, 2);
}

// Keeps decimal digits 0-9, at most six; complete at six. A stand-in for the shell's filter.
PairingCodeField::Filtered digitsOnly(const std::string&, const std::string& typed) {
  std::string kept;
  for (char c : typed)
    if (c >= '0' && c <= '9' && kept.size() < 6) kept += c;
  return {kept, kept.size() == 6};
}

struct CodeFieldTest : ::testing::Test {
  std::vector<std::pair<std::string, std::string>> seen;
  std::vector<std::string> submitted;
  QWidget window;
  PairingCodeField* field = nullptr;

  void SetUp() override {
    field = new PairingCodeField(
        [this](const std::string& old, const std::string& typed) {
          seen.emplace_back(old, typed);
          return digitsOnly(old, typed);
        },
        [this](const std::string& code) { submitted.push_back(code); }, &window);
    field->resize(field->sizeHint());
    window.resize(field->sizeHint());
    window.show();
    window.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&window));
    field->focusField();
  }
};

TEST_F(CodeFieldTest, KeepsWhatTheFilterKeepsAndOutlinesTheNextBox) {
  QTest::keyClicks(field->field(), "12a3");
  EXPECT_EQ(field->code(), "123");
  EXPECT_EQ(field->outlinedBox(), 3);
  // The filter saw every change, the refused letter too.
  ASSERT_GE(seen.size(), 4u);
  EXPECT_EQ(seen[2], (std::pair<std::string, std::string>{"12", "12a"}));
  QTest::keyClick(field->field(), Qt::Key_Backspace);
  EXPECT_EQ(field->code(), "12");
  EXPECT_EQ(field->outlinedBox(), 2);
  EXPECT_TRUE(submitted.empty());
}

TEST_F(CodeFieldTest, APasteOfNineDigitsSubmitsTheFirstSixOnce) {
  QApplication::clipboard()->setText(QStringLiteral("123 456 789"));
  field->field()->paste();
  EXPECT_EQ(field->code(), "123456");
  EXPECT_EQ(submitted, std::vector<std::string>{"123456"});
  EXPECT_EQ(field->outlinedBox(), -1);  // six digits: no box is next
}

TEST_F(CodeFieldTest, IgnoresKeysWhileNotEntering) {
  field->setEntering(false);
  QTest::keyClicks(field->field(), "12");
  EXPECT_EQ(field->code(), "");
  EXPECT_EQ(field->outlinedBox(), -1);
  field->setEntering(true);
  field->focusField();
  QTest::keyClicks(field->field(), "4");
  EXPECT_EQ(field->code(), "4");
}

TEST_F(CodeFieldTest, AClickAnywhereOnTheBoxesFocusesTheField) {
  window.setFocus();
  ASSERT_FALSE(field->fieldHasFocus());
  QTest::mouseClick(field->field(), Qt::LeftButton, {}, {20, field->height() / 2});
  EXPECT_TRUE(field->fieldHasFocus());
  EXPECT_EQ(field->outlinedBox(), 0);
}

TEST(PairingCodeField, AShakeIsTwoSwingsOfEightThatEndWhereTheyBegan) {
  struct Case {
    double t, offset;
  };
  for (const Case& c : {Case{0, 0}, Case{0.125, 8}, Case{0.25, 0}, Case{0.375, -8}, Case{0.625, 8},
                        Case{0.875, -8}, Case{1, 0}})
    EXPECT_NEAR(PairingCodeField::shakeOffset(c.t), c.offset, 1e-9) << c.t;
  PairingCodeField field(digitsOnly, nullptr);
  field.shake();
  EXPECT_TRUE(field.shaking());
  ASSERT_TRUE(processEventsUntil([&] { return !field.shaking(); }));
  EXPECT_EQ(field.shakeNow(), 0);
}

}  // namespace
}  // namespace brindlet::app::ui
