#pragma once

// The shell's state and actions without the models, for the interface's tests and harness: a
// state set by hand on a loop of its own, and actions that record each call as a line. The app
// puts the root model in their place.

#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "app/core/ShellActions.h"
#include "app/core/ShellState.h"
#include "runtime/LoopThread.h"
#include "runtime/MainLoop.h"
#include "runtime/Observable.h"

namespace brindlet::app {

// One line per action: "setup", "quit", "update", "accessibility", "follow on", "quality fast",
// "connect <id>", "pair <id>", "forget <id>", "install", "uninstall".
std::string describe(const app::MenuAction& action);

// Records every call, in order, as a line: the menu's actions as "chose " and what `describe`
// says, the others as "refresh hooks", "go 2 back", "next", "request accessibility", "finish",
// "poll on", "launch at login off", "submit 123456", "cancel pairing".
class RecordingShellActions : public app::ShellActions {
 public:
  // Called on the loop with each line, after it is recorded.
  void setOnCall(std::function<void(const std::string&)> onCall);
  std::vector<std::string> lines() const;
  // How many lines are exactly `line`.
  int count(const std::string& line) const;
  // Set before a finish, read after it: on the loop only.
  bool holdFinish = false;
  std::function<void()> heldFinish;

  void perform(app::MenuAction action) override;
  void refreshHooks() override { record("refresh hooks"); }
  void go(app::Step to, bool forward) override;
  void next() override { record("next"); }
  void request(app::Permission permission) override;
  // Runs `written` at once unless finishes are held; a held one waits in `heldFinish`.
  void finish(std::function<void()> written) override;
  void setPolling(bool on) override { record(on ? "poll on" : "poll off"); }
  void setLaunchAtLogin(bool on) override;
  void submit(std::string code) override { record("submit " + code); }
  void cancelPairing() override { record("cancel pairing"); }

 private:
  void record(const std::string& line);

  mutable std::mutex mutex_;
  std::vector<std::string> lines_;
  std::function<void(const std::string&)> onCall_;
};

// A nearby phone; paired ones connect, others can pair.
transport::NearbyPhone nearbyPhone(const std::string& name, const std::string& uid, bool paired);

// The shell's state on a loop thread of its own, set by hand.
class ScriptedShell {
 public:
  ScriptedShell();
  ~ScriptedShell();

  runtime::MainLoop loop;
  runtime::Observable<app::ShellState> state;
  runtime::Observable<app::PairingState> pairing;
  RecordingShellActions actions;

  // Changes the state on the loop and returns once it is set.
  void change(const std::function<void(app::ShellState&)>& edit);
  void setPairing(const app::PairingState& value);
  // Runs `f` on the loop and returns once it has run.
  void onLoop(const std::function<void()>& f);

 private:
  runtime::LoopThread thread_;
};

}  // namespace brindlet::app
