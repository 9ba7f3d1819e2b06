#include "design/KitWidget.h"

#include <QAccessibleWidget>
#include <QElapsedTimer>
#include <QTimerEvent>
#include <QWindow>

#include <mutex>

namespace brindlet::design {

namespace {

constexpr const char* kCoveredProperty = "kitWindowCovered";

// QAccessibleWidget is its own action interface already.
class KitAccessible : public QAccessibleWidget, public QAccessibleValueInterface {
 public:
  explicit KitAccessible(KitWidget* widget)
      : QAccessibleWidget(widget, widget->accessibleRole()), kit_(widget) {}

  QString text(QAccessible::Text t) const override { return kit_->accessibleText(t); }
  int childCount() const override { return 0; }
  QAccessibleInterface* child(int) const override { return nullptr; }
  int indexOfChild(const QAccessibleInterface*) const override { return -1; }
  QAccessible::State state() const override {
    QAccessible::State s = QAccessibleWidget::state();
    if (kit_->hiddenFromAccessibility()) s.invisible = true;
    return s;
  }
  void* interface_cast(QAccessible::InterfaceType type) override {
    if (kit_->adjustable() && type == QAccessible::ValueInterface)
      return static_cast<QAccessibleValueInterface*>(this);
    return QAccessibleWidget::interface_cast(type);
  }

  QStringList actionNames() const override {
    QStringList names = QAccessibleWidget::actionNames();
    if (kit_->adjustable()) names << increaseAction() << decreaseAction();
    return names;
  }
  void doAction(const QString& name) override {
    if (kit_->adjustable() && name == increaseAction()) return kit_->adjust(true);
    if (kit_->adjustable() && name == decreaseAction()) return kit_->adjust(false);
    QAccessibleWidget::doAction(name);
  }

  QVariant currentValue() const override { return kit_->accessibleValue(); }
  void setCurrentValue(const QVariant&) override {}
  QVariant maximumValue() const override { return kit_->accessibleMaximum(); }
  QVariant minimumValue() const override { return kit_->accessibleMinimum(); }
  QVariant minimumStepSize() const override {
    return (kit_->accessibleMaximum() - kit_->accessibleMinimum()) / 20;
  }

 private:
  KitWidget* kit_;
};

QAccessibleInterface* kitFactory(const QString&, QObject* object) {
  if (auto* kit = dynamic_cast<KitWidget*>(object)) return new KitAccessible(kit);
  return nullptr;
}

}  // namespace

KitWidget::KitWidget(QWidget* parent) : QWidget(parent) {
  static std::once_flag installed;
  std::call_once(installed, [] { QAccessible::installFactory(kitFactory); });
}

QString elementText(QAccessible::Text text, const std::string& label, std::string_view value) {
  if (text == QAccessible::Name) return QString::fromStdString(label);
  if (text == QAccessible::Value) return QString::fromUtf8(value.data(), qsizetype(value.size()));
  return {};
}

Appearance appearanceOf(const QWidget& widget) {
  return widget.palette().color(QPalette::Window).lightnessF() < 0.5 ? Appearance::dark
                                                                     : Appearance::light;
}

double KitWidget::now() {
  static QElapsedTimer clock = [] {
    QElapsedTimer started;
    started.start();
    return started;
  }();
  return double(clock.nsecsElapsed()) / 1e9;
}

void KitWidget::startFrames(int interval) {
  interval_ = interval;
  paused_ = false;
  if (!frames_.isActive()) frames_.start(interval, Qt::PreciseTimer, this);
  update();
}

void KitWidget::timerEvent(QTimerEvent* event) {
  if (event->timerId() != frames_.timerId()) return QWidget::timerEvent(event);
  if (!animating(now())) {
    frames_.stop();
  } else if (!onScreen()) {
    // A minimised or covered window, one on another desktop or not mapped: nobody sees the
    // frames.
    pauseFrames();
    return;
  }
  update();
}

void setWindowCovered(QWidget& window, bool covered) {
  window.setProperty(kCoveredProperty, covered);
  if (covered) return;  // each widget pauses at its next frame
  for (QWidget* child : window.findChildren<QWidget*>())
    if (auto* kit = dynamic_cast<KitWidget*>(child)) kit->resumeFrames();
}

bool KitWidget::onScreen() const {
  if (!isVisible() || window()->property(kCoveredProperty).toBool()) return false;
  const QWindow* handle = window()->windowHandle();
  if (!handle || !handle->isExposed()) return false;
  const QWindow::Visibility visibility = handle->visibility();
  return visibility != QWindow::Minimized && visibility != QWindow::Hidden;
}

void KitWidget::pauseFrames() {
  frames_.stop();
  paused_ = true;
  // The window may have been made since the last pause (a widget paused before its first show).
  QWindow* handle = window()->windowHandle();
  if (handle == watched_) return;
  if (watched_) watched_->removeEventFilter(this);
  watched_ = handle;
  if (watched_) watched_->installEventFilter(this);
}

void KitWidget::resumeFrames() {
  if (!paused_) return;
  if (!onScreen()) return pauseFrames();
  paused_ = false;
  if (animating(now())) frames_.start(interval_, Qt::PreciseTimer, this);
  update();
}

bool KitWidget::event(QEvent* event) {
  // Shown again, or placed in another window: the frames go on if they can be seen.
  if (paused_ && (event->type() == QEvent::Show || event->type() == QEvent::ParentChange))
    resumeFrames();
  return QWidget::event(event);
}

bool KitWidget::eventFilter(QObject* watched, QEvent* event) {
  if (watched == watched_ && paused_) {
    switch (event->type()) {
      case QEvent::Expose:
      case QEvent::WindowStateChange:
      case QEvent::Show:
        resumeFrames();
        break;
      default:
        break;
    }
  }
  return QWidget::eventFilter(watched, event);
}

}  // namespace brindlet::design
