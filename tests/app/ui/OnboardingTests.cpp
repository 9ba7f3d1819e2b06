#include <gtest/gtest.h>

#include <QAccessible>
#include <QApplication>
#include <QLabel>
#include <QPushButton>
#include <QTest>

#include <chrono>
#include <functional>

#include "app/ui/CoveredWindows.h"
#include "app/ui/OnboardingParts.h"
#include "app/ui/OnboardingWindow.h"
#include "app/ui/PictureBackdrop.h"
#include "design/ScenicBackdrop.h"
#include "support/QtHarness.h"

namespace brindlet::app::ui {
namespace {

using namespace std::chrono_literals;
using testsupport::processEventsUntil;

void activate(QWidget& window) {
  window.activateWindow();
  ASSERT_TRUE(QTest::qWaitForWindowActive(&window));
}

OnboardingPage pageOf(int step) {
  const char* titles[] = {"Welcome to Brindlet", "Show your computer on your iPhone",
                          "Control your computer by touch", "Connect your iPhone",
                          "You're all set"};
  return {step, "checkmark", {0.2, 0.8, 0.4, 1}, titles[step], "A message."};
}

struct OnboardingTest : ::testing::Test {
  PictureOnce noPicture{[] { return QImage(); }};
  int backs = 0, mains = 0, shown = 0, hidden = 0;
  std::unique_ptr<OnboardingWindow> window;

  void SetUp() override {
    window = std::make_unique<OnboardingWindow>(
        OnboardingWindow::Actions{[this] { ++backs; }, [this] { ++mains; }, [this] { ++shown; },
                                  [this] { ++hidden; }},
        noPicture);
    window->showPage(pageOf(0), new QLabel(QStringLiteral("Setup takes about a minute")), true);
    window->setBar({false, "Get Started"});
    window->show();
    window->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(window.get()));
  }
};

TEST_F(OnboardingTest, OnWelcomeBackIsNeitherSeenNorReachedAndReturnGoesOn) {
  EXPECT_EQ(window->size(), QSize(640, 580));
  EXPECT_EQ(window->windowTitle(), QStringLiteral("Welcome to Brindlet"));
  EXPECT_EQ(window->backButton()->width(), 190);
  EXPECT_EQ(window->mainButton()->width(), 190);
  EXPECT_FALSE(window->backButton()->isVisible());
  // A whole Tab cycle never lands on Back.
  window->mainButton()->setFocus();
  for (int i = 0; i < 6; ++i) {
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
    EXPECT_NE(QApplication::focusWidget(), window->backButton());
  }
  QTest::keyClick(window.get(), Qt::Key_Return);
  EXPECT_EQ(mains, 1);
  EXPECT_EQ(shown, 1);
  window->hide();
  EXPECT_EQ(hidden, 1);
}

TEST_F(OnboardingTest, StepsSlideInFromTheSideTheyComeFrom) {
  window->setBar({true, "Turn On"});
  EXPECT_TRUE(window->backButton()->isVisible());
  window->backButton()->click();
  EXPECT_EQ(backs, 1);

  struct Case {
    int step;
    bool forward;
    int enteringFrom;  // the sign of the new page's first offset
  };
  for (const Case c : {Case{1, true, 1}, Case{2, true, 1}, Case{1, false, -1}}) {
    SCOPED_TRACE(c.step);
    window->showPage(pageOf(c.step), nullptr, c.forward);
    QWidget* page = window->currentPage();
    EXPECT_EQ(window->pagesShown(), 2);
    EXPECT_EQ(page->x() > 0 ? 1 : page->x() < 0 ? -1 : 0, c.enteringFrom);
    ASSERT_TRUE(processEventsUntil([&] { return window->pagesShown() == 1; }));
    EXPECT_EQ(page->x(), 0);
    auto* dots = QAccessible::queryAccessibleInterface(window->dots());
    EXPECT_EQ(dots->text(QAccessible::Name), QStringLiteral("Step %1 of 5").arg(c.step + 1));
  }
  // The same step takes new content at once, without a slide.
  window->showPage(pageOf(1), nullptr, true);
  EXPECT_EQ(window->pagesShown(), 1);
}

// Under a compositing manager a covered window never hears so: its backdrop moves only while
// its window is the active one and in use.
TEST(StillWhenUnattended, TheBackdropMovesWhileTheWindowIsActiveAndInUse) {
  QWidget window, other;
  window.resize(200, 100);
  auto* backdrop = new design::ScenicBackdrop({0, 0, 1, 1}, &window);
  backdrop->resize(200, 100);
  stillWhenUnattended(window, 300ms);
  window.show();
  other.show();
  const struct {
    const char* name;
    std::function<void()> act;
    bool moving;
  } steps[] = {
      {"active", [&] { activate(window); }, true},
      {"another window active", [&] { activate(other); }, false},
      {"a key sent while another is active", [&] { QTest::keyClick(&window, Qt::Key_Shift); },
       false},
      {"active again", [&] { activate(window); }, true},
      {"no input for a while", [] { testsupport::processEventsFor(400ms); }, false},
      {"a key", [&] { QTest::keyClick(&window, Qt::Key_Shift); }, true},
  };
  for (const auto& step : steps) {
    SCOPED_TRACE(step.name);
    step.act();
    EXPECT_TRUE(processEventsUntil([&] { return backdrop->framesRunning() == step.moving; }));
  }
}

TEST_F(OnboardingTest, TheBackdropStandsStillWhileAnotherWindowIsActive) {
  // The kit's widgets carry no meta-object of their own: qobject_cast takes any widget.
  design::ScenicBackdrop* backdrop = nullptr;
  for (QWidget* child : window->findChildren<QWidget*>())
    if (!backdrop) backdrop = dynamic_cast<design::ScenicBackdrop*>(child);
  ASSERT_TRUE(backdrop);
  EXPECT_TRUE(processEventsUntil([&] { return backdrop->framesRunning(); }));
  QWidget other;
  other.show();
  activate(other);
  EXPECT_TRUE(processEventsUntil([&] { return !backdrop->framesRunning(); }));
}

TEST(Switch, FlipsOnAClickAnywhereOnIt) {
  Switch toggle(QStringLiteral("Open Brindlet when you log in"));
  toggle.resize(toggle.sizeHint());
  toggle.setChecked(true);
  QTest::mouseClick(&toggle, Qt::LeftButton, {}, QPoint(5, toggle.height() / 2));
  EXPECT_FALSE(toggle.isChecked());
}

}  // namespace
}  // namespace brindlet::app::ui
