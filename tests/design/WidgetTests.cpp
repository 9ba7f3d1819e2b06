// The widgets as assistive technology and the pointer see them.

#include <gtest/gtest.h>

#include <QAccessible>
#include <QAccessibleActionInterface>
#include <QMouseEvent>
#include <QPainter>
#include <QThread>

#include <functional>
#include <memory>
#include <stdexcept>

#include "design/DeckIcon.h"
#include "design/DeckKeyView.h"
#include "design/LatencyBadge.h"
#include "design/ScenicBackdrop.h"
#include "support/QtHarness.h"

namespace brindlet::design {
namespace {

QAccessibleInterface* accessible(QWidget& widget) {
  QAccessibleInterface* element = QAccessible::queryAccessibleInterface(&widget);
  EXPECT_NE(element, nullptr);
  return element;
}

TEST(Accessibility, KeysAndIconsReadTheirLabelAndRing) {
  for (KeyRing ring : KeyRing::allCases()) {
    DeckKeyView key;
    key.setLook({"mic", "Mute", ring});
    DeckIcon icon;
    icon.setLook({"mic", "Camera", {}, ring});
    const struct {
      QWidget* widget;
      const char* label;
    } rows[] = {{&key, "Mute"}, {&icon, "Camera"}};
    for (const auto& row : rows) {
      QAccessibleInterface* element = accessible(*row.widget);
      EXPECT_EQ(element->role(), QAccessible::Button);
      EXPECT_EQ(element->text(QAccessible::Name), row.label);
      EXPECT_EQ(element->text(QAccessible::Value).toStdString(), ring.accessibilityValue());
      EXPECT_EQ(element->childCount(), 0);
    }
  }
}

TEST(Accessibility, SliderAdjustsByATwentiethWithinItsRange) {
  double value = 9.8;
  DeckSliderView slider("Volume", {[&] { return value; }, [&](double v) { value = v; }}, 0, 10);
  QAccessibleInterface* element = accessible(slider);
  EXPECT_EQ(element->role(), QAccessible::Slider);
  EXPECT_EQ(element->text(QAccessible::Name), "Volume");
  QAccessibleActionInterface* actions = element->actionInterface();
  ASSERT_NE(actions, nullptr);
  actions->doAction(QAccessibleActionInterface::increaseAction());
  EXPECT_EQ(value, 10);
  EXPECT_EQ(element->text(QAccessible::Value), "10");
  value = 0.2;
  actions->doAction(QAccessibleActionInterface::decreaseAction());
  EXPECT_EQ(value, 0);
  value = 2.5;
  EXPECT_EQ(element->text(QAccessible::Value), "2.5");
  ASSERT_NE(element->valueInterface(), nullptr);
  EXPECT_EQ(element->valueInterface()->maximumValue().toDouble(), 10);
}

TEST(Accessibility, BadgeReadsLatencyAndBackdropIsHidden) {
  LatencyBadge badge;
  badge.setLatency(41.6, LatencyBadge::Style::bar);
  QAccessibleInterface* element = accessible(badge);
  EXPECT_EQ(element->text(QAccessible::Name), "Latency");
  EXPECT_EQ(element->text(QAccessible::Value), "42 ms");
  ScenicBackdrop backdrop({0, 0, 1, 1});
  EXPECT_TRUE(accessible(backdrop)->state().invisible);
}

TEST(Slider, DragsSetTheValueAcrossTheTrack) {
  const struct {
    double lower, upper, x, value;
  } rows[] = {{0, 10, 150, 5}, {0, 10, -30, 0}, {0, 10, 420, 10}, {5, 5, 200, 5}, {0, 1, 75, 0.25}};
  for (const auto& row : rows) {
    double value = -1;
    DeckSliderView slider("Level", {[&] { return value; }, [&](double v) { value = v; }}, row.lower,
                          row.upper);
    slider.resize(300, int(DeckSliderView::heightOf(&slider)) + 1);
    const double y = DeckSliderView::trackArea(QRectF(slider.rect()), &slider).center().y();
    QMouseEvent press(QEvent::MouseButtonPress, QPointF(150, y), QPointF(150, y), Qt::LeftButton,
                      Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(&slider, &press);
    QMouseEvent move(QEvent::MouseMove, QPointF(row.x, y), QPointF(row.x, y), Qt::LeftButton,
                     Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(&slider, &move);
    EXPECT_DOUBLE_EQ(value, row.value) << row.x;
  }
  double value = 3;
  DeckSliderView slider("Level", {[&] { return value; }, [&](double v) { value = v; }}, 0, 10);
  slider.resize(300, 60);
  QMouseEvent onLabel(QEvent::MouseButtonPress, QPointF(150, 2), QPointF(150, 2), Qt::LeftButton,
                      Qt::LeftButton, Qt::NoModifier);
  QCoreApplication::sendEvent(&slider, &onLabel);
  EXPECT_EQ(value, 3);  // only the track area takes touches
  EXPECT_THROW(DeckSliderView("Bad", {}, 2, 1), std::invalid_argument);
  EXPECT_THROW(DeckSliderView("Bad", {}, std::nan(""), 1), std::invalid_argument);
}

TEST(Widgets, ComeToRestOnWhatThePaintFunctionsDraw) {
  DeckKeyView key;
  key.resize(64, 64);
  key.setLook({"mic", "Mute", KeyRing::good, true});
  DeckIcon icon;
  icon.setLook({"video", "Camera", {0.2, 0.4, 0.9, 1}, KeyRing::warning, true, 58, true});
  icon.resize(icon.sizeHint());
  QThread::msleep(700);  // longer than the press, ring and symbol springs take to settle
  const Appearance appearance = key.appearance();
  // A window's picture starts from its palette's window colour.
  const QColor window = key.palette().color(QPalette::Window);
  const QImage keyPainted = testsupport::paintedAt(1, {64, 64}, [&](QPainter& p) {
    p.fillRect(0, 0, 64, 64, window);
    DeckKeyView::paint(p, {0, 0, 64, 64},
                       {"mic", "Mute", KeyRing::good, true, kWhite, 64, appearance});
  });
  // A window's picture has no alpha channel: blending into it rounds a level differently.
  EXPECT_LE(testsupport::largestDifference(key.grab().toImage(), keyPainted), 3);
  DeckIcon::Look look = icon.look();
  const QImage iconPainted = testsupport::paintedAt(1, QSizeF(icon.size()), [&](QPainter& p) {
    p.fillRect(icon.rect(), window);
    DeckIcon::paint(p, QRectF(icon.rect()), look);
  });
  EXPECT_EQ(look.style, IconStyle::current());
  EXPECT_EQ(look.appearance, appearance);
  EXPECT_LE(testsupport::largestDifference(icon.grab().toImage(), iconPainted), 3);
}

TEST(ScenicBackdropStill, IsInheritedThroughParents) {
  QWidget window;
  auto* page = new QWidget(&window);
  auto* backdrop = new ScenicBackdrop({0, 0, 1, 1}, page);
  EXPECT_FALSE(scenicBackdropStill(backdrop));
  setScenicBackdropStill(&window, true);
  EXPECT_TRUE(scenicBackdropStill(backdrop));
  setScenicBackdropStill(page, false);
  EXPECT_FALSE(scenicBackdropStill(backdrop));
  EXPECT_TRUE(scenicBackdropStill(&window));
}

TEST(KitFrames, PauseWhileTheWindowCannotBeSeenAndGoOnWhenItShows) {
  QWidget window;
  window.resize(200, 100);
  auto* backdrop = new ScenicBackdrop({0, 0, 1, 1}, &window);
  backdrop->resize(200, 100);
  window.show();
  ASSERT_TRUE(testsupport::processEventsUntil([&] { return backdrop->framesRunning(); }));
  const struct {
    const char* name;
    std::function<void()> act;
    bool running;
  } steps[] = {
      {"minimised", [&] { window.showMinimized(); }, false},
      {"restored", [&] { window.showNormal(); }, true},
      {"hidden", [&] { window.hide(); }, false},
      {"shown", [&] { window.show(); }, true},
      {"backdrop hidden", [&] { backdrop->hide(); }, false},
      {"backdrop shown", [&] { backdrop->show(); }, true},
      {"covered", [&] { setWindowCovered(window, true); }, false},
      {"seen again", [&] { setWindowCovered(window, false); }, true},
  };
  for (const auto& step : steps) {
    step.act();
    EXPECT_TRUE(testsupport::processEventsUntil([&] {
      return backdrop->framesRunning() == step.running;
    })) << step.name;
  }
}

}  // namespace
}  // namespace brindlet::design
