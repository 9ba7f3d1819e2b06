#include "app/ui/CoveredWindows.h"

#include <QAbstractNativeEventFilter>
#include <QEvent>
#include <QGuiApplication>
#include <QHash>
#include <QPointer>
#include <QTimer>
#include <QWidget>
#include <QWindow>

#include <xcb/xcb.h>

#include <cstdlib>
#include <optional>

#include "design/KitWidget.h"
#include "design/ScenicBackdrop.h"

namespace brindlet::app::ui {

namespace {

// Qt's own connection: the events for its windows arrive there.
xcb_connection_t* qtConnection() {
  auto* x11 = qApp ? qApp->nativeInterface<QNativeInterface::QX11Application>() : nullptr;
  return x11 ? x11->connection() : nullptr;
}

class CoveringFilter final : public QAbstractNativeEventFilter {
 public:
  static CoveringFilter& instance() {
    static auto* filter = [] {
      auto* made = new CoveringFilter;
      qApp->installNativeEventFilter(made);
      return made;
    }();
    return *filter;
  }

  void follow(xcb_window_t id, QWidget& window) { windows_.insert(id, &window); }

  bool nativeEventFilter(const QByteArray& type, void* message, qintptr*) override {
    if (type != "xcb_generic_event_t") return false;
    const auto* event = static_cast<const xcb_generic_event_t*>(message);
    if ((event->response_type & 0x7f) != XCB_VISIBILITY_NOTIFY) return false;
    const auto* visibility = static_cast<const xcb_visibility_notify_event_t*>(message);
    const auto found = windows_.find(visibility->window);
    if (found == windows_.end()) return false;
    if (found.value().isNull()) {
      windows_.erase(found);
      return false;
    }
    design::setWindowCovered(*found.value(), visibility->state == XCB_VISIBILITY_FULLY_OBSCURED);
    return false;  // Qt may want it too
  }

 private:
  QHash<xcb_window_t, QPointer<QWidget>> windows_;
};

// Watches the window's activation and the input that reaches it, from the application's event
// filter: keys go to the focused child and mouse moves to the window's handle, neither to the
// top-level widget itself.
class Attention final : public QObject {
 public:
  Attention(QWidget& window, std::chrono::milliseconds idle) : QObject(&window), window_(window) {
    idle_.setSingleShot(true);
    idle_.setInterval(idle);
    QObject::connect(&idle_, &QTimer::timeout, this, [this] { setStill(true); });
    qApp->installEventFilter(this);
    attend();
  }

  bool eventFilter(QObject* watched, QEvent* event) override {
    switch (event->type()) {
      case QEvent::ActivationChange:
        if (watched == &window_) attend();
        break;
      case QEvent::MouseMove:
      case QEvent::MouseButtonPress:
      case QEvent::Wheel:
      case QEvent::KeyPress:
      case QEvent::TouchBegin:
      case QEvent::TabletPress:
        if (window_.isActiveWindow() && reaches(watched)) attend();
        break;
      default:
        break;
    }
    return false;
  }

 private:
  bool reaches(QObject* watched) const {
    if (auto* widget = qobject_cast<QWidget*>(watched)) return widget->window() == &window_;
    return watched && watched == window_.windowHandle();
  }

  // Moving while active, for `idle` from now.
  void attend() {
    const bool active = window_.isActiveWindow();
    if (active) {
      idle_.start();
    } else {
      idle_.stop();
    }
    setStill(!active);
  }

  void setStill(bool still) {
    if (still_ == still) return;
    still_ = still;
    design::setScenicBackdropStill(&window_, still);
  }

  QWidget& window_;
  QTimer idle_;
  std::optional<bool> still_;
};

}  // namespace

void stillWhenUnattended(QWidget& window, std::chrono::milliseconds idle) {
  new Attention(window, idle);
}

void followCovering(QWidget& window) {
  xcb_connection_t* connection = qtConnection();
  if (!connection) return;
  const auto id = xcb_window_t(window.winId());
  // Added to the events Qt selected, which it set once when it made the window.
  const auto cookie = xcb_get_window_attributes(connection, id);
  xcb_get_window_attributes_reply_t* reply =
      xcb_get_window_attributes_reply(connection, cookie, nullptr);
  if (!reply) return;
  const std::uint32_t mask = reply->your_event_mask | XCB_EVENT_MASK_VISIBILITY_CHANGE;
  std::free(reply);
  xcb_change_window_attributes(connection, id, XCB_CW_EVENT_MASK, &mask);
  xcb_flush(connection);
  CoveringFilter::instance().follow(id, window);
}

}  // namespace brindlet::app::ui
