#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "app/linux/LinuxPlatform.h"
#include "app/ui/QtBridge.h"

namespace brindlet::runtime {
class MainLoop;
}

namespace brindlet::app {

class Shell;

namespace ui {
class Shell;
class SystemTrayHosts;
}  // namespace ui

// The app's user interface for the models: made on the Qt thread before the models, whose
// presenters it hands out; the interface itself (and so the tray icon) comes with attach, once
// the models are whole. What a model asks of a window before then waits for attach.
class AppInterface {
 public:
  AppInterface(runtime::MainLoop& loop, std::string display);
  ~AppInterface();
  AppInterface(const AppInterface&) = delete;
  AppInterface& operator=(const AppInterface&) = delete;

  // The windows, the guide's panel and the activation, for the platform; callable from any
  // thread, acting on the Qt thread.
  LinuxPlatform::Presenters presenters();
  // The tray icon and the windows over the shell, from now on.
  void attach(std::shared_ptr<Shell> shell);

 private:
  // Runs `call` on the Qt thread with the interface, once there is one.
  void onInterface(std::function<void(ui::Shell&)> call);

  runtime::MainLoop& loop_;
  std::string display_;
  std::shared_ptr<Shell> shell_;
  std::unique_ptr<ui::SystemTrayHosts> hosts_;
  std::unique_ptr<ui::Shell> interface_;
  std::vector<std::function<void(ui::Shell&)>> waiting_;  // asked before attach
  ui::QtThreadPoster poster_;  // last: nothing posted through it runs once the rest is gone
};

}  // namespace brindlet::app
