#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <boost/asio/any_io_executor.hpp>

#include "deck/ActionRunning.h"
#include "deck/WorkspaceWatching.h"
#include "desktop/EventPosting.h"
#include "profiles/Shortcut.h"
#include "runtime/Clock.h"
#include "runtime/ProgramRunner.h"

namespace brindlet::deck {

// The programs the action runner starts; tests point them elsewhere.
struct ActionPrograms {
  std::string shell = "/bin/zsh";
  std::vector<std::string> opener{"xdg-open"};
  std::vector<std::string> lock{"loginctl", "lock-session"};
  std::vector<std::string> screenshot{"scrot", "--select"};
};

// Performs deck actions on this computer: key combinations and media keys through the event
// poster, shell commands through the Z shell in a process group of their own, URLs through the
// desktop's opener (handed to the system: what it opens outlives the app), locking through
// logind. Lives on the main loop.
class ActionRunner : public ActionRunning {
 public:
  static constexpr std::size_t outputLimit = std::size_t(1) << 20;

  ActionRunner(boost::asio::any_io_executor executor, WorkspaceWatching& workspace,
               desktop::EventPosting& keys,
               std::shared_ptr<runtime::Clock> clock = runtime::Clock::system(),
               ActionPrograms programs = {});

  boost::asio::awaitable<void> run(profiles::Action action, std::string scriptKey,
                                   std::optional<double> value,
                                   std::optional<FrontApp> app) override;
  boost::asio::awaitable<void> jog(profiles::Action action, bool forward,
                                   std::optional<FrontApp> app) override;
  boost::asio::awaitable<void> pressKeys(std::string keys, FrontApp app) override;

  // Brings the app to the front unless it is there already, then posts the keys.
  boost::asio::awaitable<void> postKeys(profiles::Shortcut shortcut, std::optional<FrontApp> app);
  // Runs a command line through the shell and returns its output (standard output and error
  // together, at most outputLimit bytes). A time-out ends the command's whole process group.
  boost::asio::awaitable<std::string> runShell(std::string command, runtime::Duration timeout);
  boost::asio::awaitable<void> runSystem(profiles::Action::SystemOp operation);

  // "{value}" in the text replaced by the value's text, when there is a value.
  static std::string substitute(std::string text, std::optional<double> value);
  // An integral value as a whole number, any other as "%.2f" writes it in the C locale.
  static std::string valueText(double value);
  // The action's time-out in seconds (5 when absent), kept within 0 s and 24 h.
  static runtime::Duration shellTimeout(std::optional<double> seconds);

 private:
  // Runs a program to its end and returns its output; nothing when the time-out passed first
  // (its group is then ended in the background). Throws ActionError when it fails.
  boost::asio::awaitable<std::optional<std::string>> runProgram(std::vector<std::string> argv,
                                                                runtime::Duration timeout);
  // Hands the URL's opener to the system; its failure to start, or an exit other than 0 while
  // it is awaited, fails the action.
  boost::asio::awaitable<void> open(std::vector<std::string> argv);
  // Starts a program whose result nobody waits for; failing to start it is ignored. It ends
  // with the runner at the latest.
  void startDetached(std::vector<std::string> argv);
  void post(const profiles::Shortcut& shortcut);

  boost::asio::any_io_executor executor_;
  WorkspaceWatching& workspace_;
  desktop::EventPosting& keys_;
  std::shared_ptr<runtime::Clock> clock_;
  ActionPrograms programs_;
  runtime::ProgramRunner runner_;
};

}  // namespace brindlet::deck
