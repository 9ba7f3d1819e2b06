#include "app/qt/QtToolkit.h"

#include <QtGui/qguiapplication_platform.h>
#include <QApplication>
#include <QSessionManager>
#include <QWidget>

#include <xcb/xcb.h>

#include <atomic>

namespace brindlet::app {

namespace {

// Qt's own X connection, for a crash's handler: xcb marks it broken once a request's reply can
// never come, and reading that mark is a plain load.
constinit std::atomic<xcb_connection_t*> qtConnection{nullptr};

// The app starts at login through its own autostart entry: a session manager that restarted it
// as well would start a second copy.
void neverRestart(QSessionManager& manager) {
  manager.setRestartHint(QSessionManager::RestartNever);
}

}  // namespace

// Qt's quit event, which a session manager's Die sends and which would end Qt's event loop with
// nothing stopped in order, goes to the app's quit instead.
class QtToolkit::QuitFilter final : public QObject {
 public:
  explicit QuitFilter(std::function<void()> quit) : quit_(std::move(quit)) {}
  bool eventFilter(QObject* watched, QEvent* event) override {
    if (watched != qApp || event->type() != QEvent::Quit) return false;
    quit_();
    return true;
  }

 private:
  std::function<void()> quit_;
};

QtToolkit::QtToolkit(runtime::MainLoop& loop) : interface_(loop, "") {
  if (auto* x11 = qApp->nativeInterface<QNativeInterface::QX11Application>()) {
    qtConnection = x11->connection();
  }
  QObject::connect(qApp, &QGuiApplication::commitDataRequest, &neverRestart);
  QObject::connect(qApp, &QGuiApplication::saveStateRequest, &neverRestart);
}

QtToolkit::~QtToolkit() {
  if (filter_) qApp->removeEventFilter(filter_.get());
}

void QtToolkit::takeQuit(std::function<void()> quit) {
  filter_ = std::make_unique<QuitFilter>(std::move(quit));
  qApp->installEventFilter(filter_.get());
}

void QtToolkit::show(std::shared_ptr<Shell> shell) {
  interface_.attach(std::move(shell));
}

void QtToolkit::post(std::function<void()> call) {
  QMetaObject::invokeMethod(qApp, std::move(call), Qt::QueuedConnection);
}

void QtToolkit::runEventLoop() {
  QApplication::exec();
}

void QtToolkit::endEventLoop() {
  // exit() ends the loop without the quit event, which the filter would take for a new quit.
  QMetaObject::invokeMethod(
      qApp, [] { QCoreApplication::exit(0); }, Qt::QueuedConnection);
}

void QtToolkit::hideWindows() {
  for (QWidget* window : QApplication::topLevelWidgets()) window->hide();
}

int QtToolkit::crashEnding() noexcept {
  xcb_connection_t* connection = qtConnection.load();
  return connection && xcb_connection_has_error(connection) != 0 ? App::lostDisplayStatus : -1;
}

}  // namespace brindlet::app
