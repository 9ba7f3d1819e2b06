#pragma once

#include <functional>
#include <memory>
#include <vector>

#include "app/core/AgentsMenu.h"
#include "app/core/ShellActions.h"
#include "app/core/ShellState.h"
#include "app/core/Updater.h"
#include "runtime/Defaults.h"
#include "runtime/Observable.h"
#include "runtime/Task.h"
#include "runtime/TaskGroup.h"

namespace brindlet::app {

class HostModel;

// The shell over the root model: composes the models' observables into the state the user
// interface draws, and carries out the interface's actions on the models. Made, used and ended
// on the main loop; the interface reaches it only through posts.
class Shell final : public ShellActions {
 public:
  // `quit` runs when the menu's quit is chosen.
  Shell(boost::asio::any_io_executor loop, std::shared_ptr<HostModel> model,
        std::function<void()> quit);
  ~Shell() override;
  Shell(const Shell&) = delete;
  Shell& operator=(const Shell&) = delete;

  // Everything the interface draws, current after every change of a model.
  runtime::Observable<ShellState> state;
  // The pairing flow, change by change: the pairing window reacts to every step.
  runtime::Observable<PairingState>& pairing();

  Updater& updater() { return updater_; }
  AgentsMenu& agentsMenu() { return agentsMenu_; }
  const std::shared_ptr<HostModel>& model() const { return model_; }

  void perform(MenuAction action) override;
  void refreshHooks() override;
  void go(Step to, bool forward) override;
  void next() override;
  void request(Permission permission) override;
  void finish(std::function<void()> written) override;
  void setPolling(bool on) override;
  void setLaunchAtLogin(bool on) override;
  void submit(std::string code) override;
  void cancelPairing() override;

  // Ends the tasks the actions started.
  void stop();

 private:
  // Reads every model again into `state`.
  void compose();
  // Runs an action's work in a task of its own; nothing waits for it.
  void run(boost::asio::awaitable<void> work);
  template <class T>
  void watch(runtime::Observable<T>& source);

  std::shared_ptr<HostModel> model_;
  std::function<void()> quit_;
  Updater updater_;
  AgentsMenu agentsMenu_;
  runtime::TaskGroup tasks_;
  std::vector<runtime::Subscription> subscriptions_;
  runtime::Subscription followWatch_;
};

}  // namespace brindlet::app
