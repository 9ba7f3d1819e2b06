#pragma once

#include <array>
#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "agents/TerminalJumping.h"
#include "desktop/WindowSystem.h"
#include "runtime/Clock.h"
#include "runtime/ProcessTable.h"
#include "runtime/ProgramRunner.h"

namespace brindlet::agents {

// A terminal application by its TERM_PROGRAM value: its macOS bundle id and the WM_CLASS class
// of its windows here.
struct TerminalApp {
  std::string_view program;
  std::string_view bundleId;
  std::string_view windowClass;
};
extern const std::array<TerminalApp, 7> terminalApps;

// Where tmux is looked for, in this order.
extern const std::array<std::string_view, 3> tmuxPaths;

// Brings an agent's terminal to the front on the main loop:
// 1. a tmux pane ("%N") is selected in its window, and the tty of the pane's most recently
//    active client stands for the agent's (the pane's own tty belongs to the tmux server);
// 2. the window of the terminal: the processes whose controlling terminal the tty is, their
//    session leader, then its parents until one owns a window;
// 3. else the topmost window of the terminal application named by TERM_PROGRAM.
// The window is activated; true only when it is confirmed active within a second. The pane and
// the tty come from a request header: anything but "%" and digits, or a device name under /dev,
// is not used.
class TerminalJumper : public TerminalJumping {
 public:
  static constexpr runtime::Duration tmuxLimit = std::chrono::seconds(2);
  static constexpr runtime::Duration confirmLimit = std::chrono::seconds(1);
  static constexpr runtime::Duration confirmPoll = std::chrono::milliseconds(20);

  TerminalJumper(runtime::ProgramRunning& programs, runtime::ProcessTable& processes,
                 desktop::WindowSystem& windows, std::shared_ptr<runtime::Clock> clock,
                 std::vector<std::string> tmuxCandidates = {tmuxPaths.begin(), tmuxPaths.end()});

  boost::asio::awaitable<bool> jump(TerminalLocation location) override;

 private:
  // Selects the pane; the tty of its most recently active client, if any.
  boost::asio::awaitable<std::optional<std::string>> selectTmuxPane(std::string pane);
  // The window of the terminal with that device number, from the processes that use it.
  std::optional<desktop::WindowId> windowOfTerminal(
      std::uint64_t terminal, const std::vector<runtime::ProcessEntry>& table) const;
  std::optional<desktop::WindowId> windowOfProgram(const std::string& program) const;
  boost::asio::awaitable<bool> activate(desktop::WindowId window);
  std::optional<std::string> tmuxExecutable() const;

  runtime::ProgramRunning& programs_;
  runtime::ProcessTable& processes_;
  desktop::WindowSystem& windows_;
  std::shared_ptr<runtime::Clock> clock_;
  std::vector<std::string> tmuxCandidates_;
};

}  // namespace brindlet::agents
