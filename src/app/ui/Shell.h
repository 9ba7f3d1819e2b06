#pragma once

// The app's whole user interface on the Qt thread: the tray icon and its menu, the onboarding
// and pairing windows and the settings guide's panel. It draws copies of the shell's state that
// reach it through bridges (the newest state, coalesced; every pairing change, in order) and
// posts everything the user does onto the main loop as calls of the shell's actions.

#include <QPointer>

#include <memory>
#include <optional>

#include "app/core/SettingsGuide.h"
#include "app/core/ShellActions.h"
#include "app/core/ShellRoles.h"
#include "app/core/ShellState.h"
#include "app/ui/FramelessWindow.h"
#include "app/ui/GuidePanel.h"
#include "app/ui/PairingPresenter.h"
#include "app/ui/QtBridge.h"
#include "app/ui/TrayIcon.h"
#include "app/ui/TrayMenu.h"
#include "runtime/Observable.h"

namespace brindlet::runtime {
class MainLoop;
}

namespace brindlet::app::ui {

class ConnectCard;
class OnboardingWindow;
class PairingWindow;
class PermissionCard;
class ReadyCard;

class Shell {
 public:
  // Where the shell's state comes from: observables set on the main loop.
  struct Sources {
    runtime::Observable<ShellState>& state;
    runtime::Observable<PairingState>& pairing;
  };

  // Made on the Qt thread. The loop, the actions, the sources and the hosts outlive the shell;
  // the actions are called on the loop only.
  Shell(runtime::MainLoop& loop, ShellActions& actions, Sources sources, TrayHostWatching& hosts);
  ~Shell();
  Shell(const Shell&) = delete;
  Shell& operator=(const Shell&) = delete;

  // For the models on the loop: they may be called from any thread and act on the Qt thread;
  // once the shell is gone they do nothing.
  std::shared_ptr<AppActivating> activator();
  std::shared_ptr<app::GuidePanel> guidePanel();

  // What choosing a menu item or a connect card's row does: a window the action needs opens at
  // once, and the action goes to the loop.
  void choose(const MenuAction& action);
  void showOnboarding();
  void showPairing();

  TrayMenu& menu() { return menu_; }
  TrayIcon& tray() { return tray_; }
  OnboardingWindow* onboardingWindow() const;
  PairingWindow* pairingWindow() const;
  ui::GuidePanel* guide() const { return guide_.data(); }
  // The newest state drawn.
  const ShellState& state() const { return state_; }

 private:
  class Activator;
  class Panel;

  void post(std::function<void(ShellActions&)> call);
  // Ctrl+Q in the window quits as the menu's Quit does.
  void addQuitKey(QWidget& window);
  void draw(const ShellState& state);
  QWidget* buildOnboarding();
  QWidget* buildPairing();
  void drawOnboarding(OnboardingWindow& window);
  QWidget* pageContent(Step step);
  void mainButton();

  // The guide panel's operations, on the Qt thread.
  void createGuide(Permission permission);
  void placeGuide(std::optional<QPoint> origin);
  void orderGuideFront();
  void fadeOutGuide();

  Post loop_;
  ShellActions& actions_;
  ShellState state_;
  TrayMenu menu_;
  TrayIcon tray_;
  SingleWindow onboarding_;
  SingleWindow pairing_;
  std::optional<Step> pageStep_;  // the step whose page the onboarding window shows
  QPointer<PermissionCard> permissionCard_;
  QPointer<ConnectCard> connectCard_;
  QPointer<ReadyCard> readyCard_;
  QPointer<ui::GuidePanel> guide_;
  std::optional<QPoint> guideOrigin_;
  // Last: they deliver into the members above, and nothing posted through them runs once gone.
  QtThreadPoster poster_;
  PairingPresenter<PairingState> pairingPresenter_;
  QtSnapshot<ShellState> snapshot_;
};

}  // namespace brindlet::app::ui
