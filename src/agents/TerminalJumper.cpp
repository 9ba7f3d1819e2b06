#include "agents/TerminalJumper.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <map>

#include "agents/HookServer.h"
#include "desktop/DesktopError.h"
#include "runtime/Blocking.h"

namespace brindlet::agents {
namespace {

using desktop::WindowId;

// No process tree is deeper than this; a cycle in a changing table ends here too.
constexpr int kMaxAncestors = 64;

bool allOf(std::string_view text, bool (*accepts)(char)) {
  return !text.empty() && std::all_of(text.begin(), text.end(), accepts);
}
bool isDigit(char c) {
  return c >= '0' && c <= '9';
}
bool isAlphanumeric(char c) {
  return isDigit(c) || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

bool isTmuxPane(std::string_view pane) {
  return pane.size() <= 11 && pane.starts_with('%') && allOf(pane.substr(1), isDigit);
}

// "/dev/pts/3" for "pts/3" or "/dev/pts/3", "/dev/tty2" for "tty2"; nothing for anything else, so
// that a header cannot name another file.
std::optional<std::string> terminalDevicePath(std::string_view tty) {
  if (tty.starts_with("/dev/")) tty.remove_prefix(5);
  if (tty.size() > 32) return std::nullopt;
  const bool pseudo = tty.starts_with("pts/") && allOf(tty.substr(4), isDigit);
  const bool console = tty.starts_with("tty") && allOf(tty.substr(3), isAlphanumeric);
  if (!pseudo && !console) return std::nullopt;
  return "/dev/" + std::string(tty);
}

// The tty of the most recently active client in `list-clients` lines "<activity> <tty>".
std::optional<std::string> mostRecentClient(std::string_view lines) {
  std::optional<std::string> chosen;
  unsigned long long latest = 0;
  while (!lines.empty()) {
    const auto end = std::min(lines.find('\n'), lines.size());
    const std::string_view line = lines.substr(0, end);
    lines.remove_prefix(std::min(end + 1, lines.size()));
    const auto blank = line.find(' ');
    if (blank == std::string_view::npos) continue;
    unsigned long long activity = 0;
    const auto parsed = std::from_chars(line.data(), line.data() + blank, activity);
    if (parsed.ec != std::errc() || parsed.ptr != line.data() + blank) continue;
    if (!chosen || activity > latest) {
      chosen = std::string(line.substr(blank + 1));
      latest = activity;
    }
  }
  return chosen;
}

bool isExecutableFile(const std::string& path) {
  struct stat status {};
  return ::stat(path.c_str(), &status) == 0 && S_ISREG(status.st_mode) &&
         ::access(path.c_str(), X_OK) == 0;
}

// The topmost window that satisfies the condition.
template <class Condition>
std::optional<WindowId> topmost(const desktop::WindowSnapshot& snapshot, Condition condition) {
  for (auto w = snapshot.windows.rbegin(); w != snapshot.windows.rend(); ++w) {
    if (condition(*w)) return w->id;
  }
  return std::nullopt;
}

}  // namespace

const std::array<TerminalApp, 7> terminalApps{{
    {"ghostty", "com.mitchellh.ghostty", "com.mitchellh.ghostty"},
    {"WezTerm", "com.github.wez.wezterm", "org.wezfurlong.wezterm"},
    {"WarpTerminal", "dev.warp.Warp-Stable", "dev.warp.Warp"},
    {"vscode", "com.microsoft.VSCode", "Code"},
    {"kitty", "net.kovidgoyal.kitty", "kitty"},
    {"Hyper", "co.zeit.hyper", "Hyper"},
    {"zed", "dev.zed.Zed", "dev.zed.Zed"},
}};

const std::array<std::string_view, 3> tmuxPaths{"/opt/homebrew/bin/tmux", "/usr/local/bin/tmux",
                                                "/usr/bin/tmux"};

TerminalJumper::TerminalJumper(runtime::ProgramRunning& programs, runtime::ProcessTable& processes,
                               desktop::WindowSystem& windows,
                               std::shared_ptr<runtime::Clock> clock,
                               std::vector<std::string> tmuxCandidates)
    : programs_(programs),
      processes_(processes),
      windows_(windows),
      clock_(std::move(clock)),
      tmuxCandidates_(std::move(tmuxCandidates)) {}

boost::asio::awaitable<bool> TerminalJumper::jump(TerminalLocation location) {
  std::string tty = location.tty;
  if (isTmuxPane(location.tmuxPane)) {
    auto client = co_await selectTmuxPane(location.tmuxPane);
    if (client) tty = std::move(*client);
  }
  std::optional<WindowId> window;
  if (const auto device = terminalDevicePath(tty)) {
    // The terminal's processes are read from /proc on the blocking worker.
    auto& processes = processes_;
    auto read = [&processes, path = *device] {
      auto terminal = processes.terminalDevice(path);
      std::vector<runtime::ProcessEntry> table;
      if (terminal) table = processes.scan();
      return std::make_pair(terminal, std::move(table));
    };
    const auto found = co_await runtime::offloadBlocking(std::move(read));
    if (found.first) window = windowOfTerminal(*found.first, found.second);
  }
  if (!window) window = windowOfProgram(location.program);
  if (!window) co_return false;
  co_return co_await activate(*window);
}

std::optional<std::string> TerminalJumper::tmuxExecutable() const {
  for (const auto& path : tmuxCandidates_) {
    if (isExecutableFile(path)) return path;
  }
  return std::nullopt;
}

boost::asio::awaitable<std::optional<std::string>> TerminalJumper::selectTmuxPane(
    std::string pane) {
  const auto tmux = tmuxExecutable();
  if (!tmux) co_return std::nullopt;
  const std::vector<std::vector<std::string>> steps{
      {*tmux, "select-window", "-t", pane},
      {*tmux, "select-pane", "-t", pane},
      {*tmux, "list-clients", "-t", pane, "-F", "#{client_activity} #{client_tty}"}};
  runtime::ProgramLimits limits;
  limits.time = tmuxLimit;
  runtime::ProgramRun run;
  for (const auto& argv : steps) {
    auto arguments = argv;
    run = co_await programs_.run(std::move(arguments), limits);
    // A tmux that hangs once hangs again: the jump goes on without it.
    if (run.ending == runtime::ProgramRun::Ending::timedOut) {
      agentsLog().error("Jump: %s", ("tmux " + argv[1] + " timed out").c_str());
      co_return std::nullopt;
    }
  }
  if (!run.succeeded()) co_return std::nullopt;
  co_return mostRecentClient(run.output);
}

std::optional<WindowId> TerminalJumper::windowOfTerminal(
    std::uint64_t terminal, const std::vector<runtime::ProcessEntry>& table) const {
  std::map<int, const runtime::ProcessEntry*> byPid;
  for (const auto& entry : table) byPid[entry.pid] = &entry;
  const auto snapshot = windows_.snapshot();
  for (const auto& entry : table) {
    if (entry.terminal != terminal) continue;
    // From the session's leader (the shell the terminal started) up to the terminal itself.
    int pid = byPid.count(entry.session) ? entry.session : entry.pid;
    for (int hop = 0; hop < kMaxAncestors && pid > 1; ++hop) {
      const auto window = topmost(snapshot, [pid](const auto& w) { return w.pid == pid; });
      if (window) return window;
      const auto found = byPid.find(pid);
      if (found == byPid.end()) break;
      pid = found->second->parent;
    }
  }
  return std::nullopt;
}

std::optional<WindowId> TerminalJumper::windowOfProgram(const std::string& program) const {
  const auto app = std::find_if(terminalApps.begin(), terminalApps.end(),
                                [&](const TerminalApp& a) { return a.program == program; });
  if (app == terminalApps.end()) return std::nullopt;
  return topmost(windows_.snapshot(), [&](const desktop::WindowInfo& w) {
    return w.windowClass == app->windowClass || w.windowClass == app->bundleId;
  });
}

boost::asio::awaitable<bool> TerminalJumper::activate(WindowId window) {
  try {
    co_await windows_.activate(window);
  } catch (const desktop::DesktopError& e) {
    agentsLog().error("Jump: %s", e.text().c_str());
    co_return false;
  }
  const auto deadline = clock_->now() + confirmLimit;
  for (;;) {
    if (windows_.snapshot().active == window) co_return true;
    if (clock_->now() >= deadline) break;
    co_await clock_->sleep(confirmPoll);
  }
  agentsLog().error("Jump: %s",
                    ("window " + std::to_string(window) + " did not become active").c_str());
  co_return false;
}

}  // namespace brindlet::agents
