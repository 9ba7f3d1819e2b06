#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <QPointer>

#include "app/core/Menu.h"
#include "app/core/ShellState.h"
#include "app/linux/LinuxPlatform.h"
#include "app/ui/FramelessWindow.h"
#include "app/ui/PairingPresenter.h"
#include "app/ui/QtBridge.h"
#include "app/ui/TrayMenu.h"

namespace brindlet::runtime {
class MainLoop;
}

namespace brindlet::app {

class Shell;

namespace ui {
class SystemTrayHosts;
class TrayIcon;
}  // namespace ui

// The tray menu's items from the shell's, each choice named by its place in `actions`.
std::vector<ui::MenuItem> trayItems(const std::vector<MenuItem>& items,
                                    std::vector<MenuAction>& actions);

// The app's face on the Qt thread: the tray icon and its menu, the onboarding and pairing
// windows and the settings guide's panel, drawn from copies of the shell's state; what the user
// does goes to the shell as posts onto the main loop. Made, used and ended on the Qt thread.
class AppInterface {
 public:
  AppInterface(runtime::MainLoop& loop, std::string display);
  ~AppInterface();
  AppInterface(const AppInterface&) = delete;
  AppInterface& operator=(const AppInterface&) = delete;

  // What the models open and raise; safe to call from the main loop.
  LinuxPlatform::Presenters presenters();
  // Follows the shell's state from now on; the tray icon comes once the menu is whole.
  void attach(std::shared_ptr<Shell> shell);

 private:
  void act(std::function<void(Shell&)> action);
  void showState(const ShellState& state);
  QWidget* buildOnboarding();
  QWidget* buildPairing();
  void showOnboarding();
  void showPairing();
  // Draws the onboarding window for the state; a new step brings a new page.
  void renderOnboarding(bool fresh);
  QWidget* pageContent();
  void onboardingMain();

  runtime::MainLoop& loop_;
  std::string display_;
  ui::Post toLoop_;
  ui::QtThreadPoster poster_;
  std::shared_ptr<Shell> shell_;
  ShellState state_;
  std::vector<MenuAction> menuActions_;
  std::optional<Step> shownStep_;
  QPointer<QWidget> card_;
  std::unique_ptr<ui::TrayMenu> menu_;
  std::unique_ptr<ui::SystemTrayHosts> hosts_;
  std::unique_ptr<ui::TrayIcon> tray_;
  ui::SingleWindow onboarding_;
  ui::SingleWindow pairing_;
  std::unique_ptr<ui::PairingPresenter<PairingState>> pairingPresenter_;
  std::unique_ptr<ui::QtSnapshot<ShellState>> states_;
};

}  // namespace brindlet::app
