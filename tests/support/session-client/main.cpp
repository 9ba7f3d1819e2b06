// qt-session-client: a Qt program on the xcb platform that a session manager can log out. It
// prints what Qt hands it on the way: "running", "commit data <restart hint>", "save state",
// "quit event" (a QEvent::Quit reaching the application), "about to quit", "exit <code>".
// With the argument "window" it shows a window first.

#include <QEvent>
#include <QGuiApplication>
#include <QSessionManager>
#include <QWindow>

#include <cstdio>
#include <string>

namespace {

void print(const std::string& line) {
  std::printf("%s\n", line.c_str());
  std::fflush(stdout);
}

class QuitWatch : public QObject {
 protected:
  bool eventFilter(QObject* watched, QEvent* event) override {
    if (watched == qApp && event->type() == QEvent::Quit) print("quit event");
    return false;
  }
};

}  // namespace

int main(int argc, char** argv) {
  QGuiApplication app(argc, argv);
  QuitWatch watch;
  app.installEventFilter(&watch);
  QObject::connect(&app, &QGuiApplication::commitDataRequest, [](QSessionManager& manager) {
    print("commit data " + std::to_string(int(manager.restartHint())));
  });
  QObject::connect(&app, &QGuiApplication::saveStateRequest,
                   [](QSessionManager&) { print("save state"); });
  QObject::connect(&app, &QGuiApplication::aboutToQuit, [] { print("about to quit"); });
  QWindow window;
  if (app.arguments().contains("window")) window.show();
  print("running");
  const int code = app.exec();
  print("exit " + std::to_string(code));
  return code;
}
