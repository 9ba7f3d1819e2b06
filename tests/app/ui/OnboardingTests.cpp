#include <gtest/gtest.h>

#include <QAccessible>
#include <QApplication>
#include <QLabel>
#include <QPushButton>
#include <QTest>

#include "app/ui/OnboardingParts.h"
#include "app/ui/OnboardingWindow.h"
#include "app/ui/PictureBackdrop.h"
#include "support/QtHarness.h"

namespace brindlet::app::ui {
namespace {

using testsupport::processEventsUntil;

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

TEST(Switch, FlipsOnAClickAnywhereOnIt) {
  Switch toggle(QStringLiteral("Open Brindlet when you log in"));
  toggle.resize(toggle.sizeHint());
  toggle.setChecked(true);
  QTest::mouseClick(&toggle, Qt::LeftButton, {}, QPoint(5, toggle.height() / 2));
  EXPECT_FALSE(toggle.isChecked());
}

}  // namespace
}  // namespace brindlet::app::ui
