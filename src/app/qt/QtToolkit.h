#pragma once

#include <functional>
#include <memory>

#include "app/core/App.h"
#include "app/qt/AppInterface.h"

namespace brindlet::app {

// Qt behind the app's life: the tray icon and windows over the shell, Qt's event loop, and Qt's
// own quit (a session manager's Die, a QEvent::Quit) turned into the app's quit. Made on Qt's
// thread once the QApplication is there.
class QtToolkit final : public Toolkit {
 public:
  explicit QtToolkit(runtime::MainLoop& loop);
  ~QtToolkit() override;

  // The windows' presenters, for the platform, before the models are built.
  LinuxPlatform::Presenters presenters() { return interface_.presenters(); }

  void takeQuit(std::function<void()> quit) override;
  void show(std::shared_ptr<Shell> shell) override;
  void post(std::function<void()> call) override;
  void runEventLoop() override;
  void endEventLoop() override;
  void hideWindows() override;

  // For a crash's handler: the display's loss (App::lostDisplayStatus) once Qt's X connection is
  // known broken, else the signal's own ending. A plain load; safe in a signal handler.
  static int crashEnding() noexcept;

 private:
  class QuitFilter;
  AppInterface interface_;
  std::unique_ptr<QuitFilter> filter_;
};

}  // namespace brindlet::app
