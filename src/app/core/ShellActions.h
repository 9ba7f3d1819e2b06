#pragma once

#include <functional>
#include <string>

#include "app/core/Menu.h"
#include "app/core/Onboarding.h"
#include "app/core/Permission.h"

namespace brindlet::app {

// What the user can do in the interface, carried out on the main loop. The interface's thread
// never calls these itself: it posts each call onto the loop.
class ShellActions {
 public:
  virtual ~ShellActions() = default;

  // A menu item or a connect card's row: connect, pair or forget a phone, quality, following
  // windows, the hooks' install and uninstall, set up, updates, quit.
  virtual void perform(MenuAction action) = 0;
  // The menu is about to show: the Agents submenu reads the hooks again.
  virtual void refreshHooks() = 0;

  // The onboarding window.
  virtual void go(Step to, bool forward) = 0;
  virtual void next() = 0;  // the main button
  virtual void request(Permission permission) = 0;
  // `written` runs on the loop once setup is stored as complete.
  virtual void finish(std::function<void()> written) = 0;
  virtual void setPolling(bool on) = 0;  // while the window is on screen
  virtual void setLaunchAtLogin(bool on) = 0;

  // The pairing window.
  virtual void submit(std::string code) = 0;
  virtual void cancelPairing() = 0;
};

}  // namespace brindlet::app
