#include "app/core/Lifetime.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <mutex>
#include <set>
#include <system_error>
#include <thread>

#include "agents/AgentHub.h"
#include "agents/HookServer.h"
#include "app/core/HostModel.h"
#include "deck/DeckEngine.h"
#include "runtime/Blocking.h"
#include "runtime/Files.h"
#include "runtime/Log.h"
#include "runtime/Process.h"
#include "runtime/Timeout.h"
#include "runtime/WorkerThread.h"
#include "streaming/DisplayStreamer.h"
#include "streaming/VirtualDisplayManager.h"
#include "transport/HostTransport.h"

namespace brindlet::app {

namespace asio = boost::asio;

namespace {

const runtime::Logger& appLog() {
  return runtime::Logger::of("app");
}

// The groups of the processes, and those that share the app's own group; and the groups whose
// leader has ended while a program it put in the background lives on (no walk down from the app
// finds that program any more), while any of them is left.
struct Targets {
  std::set<int> groups;
  std::vector<int> loners;
};

Targets targetsOf(const std::vector<int>& pids) {
  Targets targets;
  const int own = getpgrp();
  for (int pid : pids) {
    const int group = getpgid(pid);
    if (group < 0) continue;  // gone already
    if (group == own) {
      targets.loners.push_back(pid);
    } else {
      targets.groups.insert(group);
    }
  }
  for (pid_t group : runtime::groupsLeftBehind()) {
    if (group != own && kill(-group, 0) == 0) targets.groups.insert(group);
  }
  return targets;
}

void signal(const Targets& targets, int number) {
  for (int group : targets.groups) kill(-group, number);
  for (int pid : targets.loners) kill(pid, number);
}

// Whether any of the targets still runs, from /proc. A member that has ended and waits for its
// parent's (or adopter's) wait does not: it cannot be signalled any more, and an adopter may reap
// it late or never.
bool anyRunning(const Targets& targets) {
  for (int group : targets.groups) {
    if (!runtime::livingGroupMembers(group).empty()) return true;
  }
  if (targets.loners.empty()) return false;
  const auto own = runtime::livingGroupMembers(getpgrp());
  return std::ranges::any_of(targets.loners,
                             [&](int pid) { return std::ranges::find(own, pid) != own.end(); });
}

// A step of the shut-down that may not finish; what it throws is logged.
asio::awaitable<void> bounded(runtime::Clock& clock, runtime::Duration limit, const char* what,
                              asio::awaitable<void> step) {
  bool done = false;
  try {
    done = co_await runtime::within(clock, limit, std::move(step));
  } catch (const std::exception& error) {
    appLog().error("Quitting: %s: %s", what, error.what());
    co_return;
  }
  if (!done) appLog().error("Quitting: %s did not finish in time", what);
}

asio::awaitable<void> stopStreamAndDisplay(HostModel& model) {
  co_await model.streamer->stop();
  co_await model.sessionDisplays->detach();
}

asio::awaitable<void> stopTransport(HostModel& model) {
  co_await model.transport->stop();
}

}  // namespace

std::optional<std::string> sessionRefusal(const std::optional<std::string>& sessionType,
                                          const std::optional<std::string>& waylandDisplay) {
  const bool unsaid = !sessionType || sessionType->empty();
  if (sessionType == "wayland" || (unsaid && waylandDisplay && !waylandDisplay->empty())) {
    return std::string(waylandText);
  }
  return std::nullopt;
}

std::string displayRefusal(const std::optional<std::string>& display, bool silent) {
  std::string text(needsDisplayText);
  if (!display || display->empty()) {
    text.append("DISPLAY is not set");
  } else if (silent) {
    text.append("display ").append(*display).append(" does not answer");
  } else {
    text.append("cannot open display ").append(*display);
  }
  return text;
}

Invocation invocationOf(int argc, const char* const* argv) {
  auto invocation = Invocation::run;
  for (int i = 1; i < argc; ++i) {
    const std::string_view word(argv[i]);
    if (word == "--help" || word == "-h") {
      invocation = Invocation::help;
    } else if (word != "--log-both") {
      return Invocation::mistaken;
    }
  }
  return invocation;
}

std::filesystem::path InstanceLock::defaultPath() {
  return runtime::userFolder(runtime::UserFolder::runtime) / "brindlet" / "instance.lock";
}

std::optional<InstanceLock> InstanceLock::acquire(const std::filesystem::path& path) {
  runtime::makeFolder(path.parent_path());
  runtime::FileDescriptor file(open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600));
  if (!file.valid()) throw std::system_error(errno, std::generic_category(), path.string());
  if (flock(file.get(), LOCK_EX | LOCK_NB) != 0) {
    if (errno == EWOULDBLOCK) return std::nullopt;
    throw std::system_error(errno, std::generic_category(), path.string());
  }
  return InstanceLock(std::move(file));
}

std::vector<int> descendantsOf(int root, const std::vector<runtime::ProcessEntry>& processes) {
  std::multimap<int, int> children;
  for (const auto& entry : processes) children.emplace(entry.parent, entry.pid);
  std::vector<int> found;
  std::vector<int> open{root};
  std::set<int> seen{root};
  while (!open.empty()) {
    const int parent = open.back();
    open.pop_back();
    auto [first, last] = children.equal_range(parent);
    for (auto it = first; it != last; ++it) {
      if (!seen.insert(it->second).second) continue;
      found.push_back(it->second);
      open.push_back(it->second);
    }
  }
  return found;
}

asio::awaitable<void> endChildGroups(runtime::ProcessTable& table, runtime::Clock& clock,
                                     runtime::Duration grace) {
  runtime::WorkerThread worker("brindlet-reap");
  auto scan = [&table] { return descendantsOf(getpid(), table.scan()); };
  const auto pids = co_await runtime::offload(worker.executor(), std::move(scan));
  const auto targets = targetsOf(pids);
  signal(targets, SIGTERM);
  const auto end = clock.now() + grace;
  for (;;) {
    auto look = [&targets] { return anyRunning(targets); };
    if (!co_await runtime::offload(worker.executor(), std::move(look))) co_return;
    if (clock.now() >= end) break;
    co_await clock.sleep(std::chrono::milliseconds(20));
  }
  signal(targets, SIGKILL);
}

void killChildGroups(runtime::ProcessTable& table) {
  signal(targetsOf(descendantsOf(getpid(), table.scan())), SIGKILL);
}

asio::awaitable<void> stopWhatOutlivesTheApp(HostModel& model, runtime::Duration limit) {
  auto& clock = *model.clock;
  const auto start = clock.now();
  const auto share = limit / 5;
  if (model.hookServer) {
    // Hooks still waiting for the phone are told to ask in the terminal before their
    // connections go; their replies get a moment to leave.
    model.agents->answerWaiting();
    const auto flushEnd = clock.now() + share / 2;
    while (model.hookServer->connectionCount() > 0 && clock.now() < flushEnd) {
      co_await clock.sleep(std::chrono::milliseconds(10));
    }
    model.hookServer->stop();
  }
  if (model.deck) model.deck->stop();
  // The groups get this half's part of the limit (all but the stream's, the display's and the
  // links' shares), less a moment for the final kill.
  const auto own = limit - 2 * share;
  const auto spent = clock.now() - start;
  const auto grace = own - spent > share ? own - spent - share / 2 : share / 2;
  // Steps are named before they are awaited: g++ 12 may destroy a temporary inside a co_await
  // expression twice.
  auto children = endChildGroups(*model.processes, clock, grace);
  co_await bounded(clock, grace + share / 4, "child processes", std::move(children));
}

asio::awaitable<void> stopStreamDisplayAndLinks(HostModel& model, runtime::Duration limit) {
  auto& clock = *model.clock;
  const auto share = limit / 5;
  auto streamAndDisplay = stopStreamAndDisplay(model);
  co_await bounded(clock, share, "stream and display", std::move(streamAndDisplay));
  auto transport = stopTransport(model);
  co_await bounded(clock, share, "transport", std::move(transport));
}

asio::awaitable<void> shutDown(HostModel& model, runtime::Duration limit) {
  co_await stopWhatOutlivesTheApp(model, limit);
  co_await stopStreamDisplayAndLinks(model, limit);
}

namespace {

// What exitNow cleans up: set on whichever thread starts the run, read on whichever ends it.
struct ExitState {
  std::mutex mutex;
  std::filesystem::path hookFolder;
  std::string token;
  std::atomic<bool> ending{false};
};

ExitState& exitState() {
  static ExitState* state = new ExitState;  // never destroyed: any thread may end the process
  return *state;
}

// Removes the discovery file when it names the token; a later run's file stays.
void removeIfNaming(const std::filesystem::path& path, const std::string& token) {
  std::ifstream in(path);
  const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::error_code ignored;
  if (text.find(token) != std::string::npos) std::filesystem::remove(path, ignored);
}

// What a crash removes, prepared while nothing is wrong: the discovery files' paths, as the
// system calls take them. While the instance lock is held no other run writes there.
struct CrashPaths {
  std::atomic<bool> ready{false};
  char json[PATH_MAX] = {};
  char headers[PATH_MAX] = {};
};
constinit CrashPaths crashPaths;

void prepare(char (&place)[PATH_MAX], const std::filesystem::path& path) {
  const std::string text = path.string();
  if (text.size() < sizeof place) std::memcpy(place, text.c_str(), text.size() + 1);
}

}  // namespace

void exitRemoves(const std::filesystem::path& hookFolder, const std::string& token) {
  {
    std::lock_guard lock(exitState().mutex);
    exitState().hookFolder = hookFolder;
    exitState().token = token;
  }
  const agents::DiscoveryFile files{hookFolder, 0, token};
  crashPaths.ready = false;
  prepare(crashPaths.json, files.jsonPath());
  prepare(crashPaths.headers, files.headersPath());
  crashPaths.ready = true;
}

namespace {

// This run's discovery files and child process groups, from whichever thread ends the process.
void cleanUpForExit(ExitState& state) {
  // The exit may come on the main loop's own thread (an exit() there); its waits are the point.
  runtime::AllowBlocking exiting;
  std::filesystem::path folder;
  std::string token;
  {
    std::lock_guard lock(state.mutex);
    folder = state.hookFolder;
    token = state.token;
  }
  try {
    // Whatever takes the port next must not be led to the hooks' token and prompts. Their
    // writing may be on its way to the blocking worker, or on it: each pass waits for that.
    if (!token.empty()) {
      const agents::DiscoveryFile files{folder, 0, token};
      for (int pass = 0; pass < 2; ++pass) {
        for (int i = 0; i < 60 && runtime::blockingCallsInFlight() > 0; ++i) {
          std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        removeIfNaming(files.jsonPath(), token);
        removeIfNaming(files.headersPath(), token);
      }
    }
    // Nor may the deck's commands outlive the app.
    runtime::ProcFsProcessTable table;
    killChildGroups(table);
  } catch (const std::exception& error) {
    appLog().error("Exit clean-up: %s", error.what());
  }
}

}  // namespace

namespace {

// Signal-safe pieces: system calls, no allocation, no lock.

// The number at `text`, skipping spaces before it; where it ends.
const char* readNumber(const char* text, const char* end, int& number) {
  while (text < end && *text == ' ') ++text;
  const bool negative = text < end && *text == '-';
  if (negative) ++text;
  number = 0;
  for (; text < end && *text >= '0' && *text <= '9'; ++text) number = number * 10 + (*text - '0');
  if (negative) number = -number;
  return text;
}

// The parent and the group of a process from its /proc/<pid>/stat: "pid (name) state parent
// group ...", the fields counted from the last ')'.
bool parentAndGroup(const char* pid, int& parent, int& group) {
  char path[64] = "/proc/";
  std::size_t at = std::strlen(path);
  for (const char* c = pid; *c && at + 6 < sizeof path; ++c) path[at++] = *c;
  std::memcpy(path + at, "/stat", 6);
  const int fd = ::open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  char text[512];
  const ssize_t n = ::read(fd, text, sizeof text);
  ::close(fd);
  if (n <= 0) return false;
  const char* end = text + n;
  const char* close = nullptr;
  for (const char* c = text; c < end; ++c) {
    if (*c == ')') close = c;
  }
  if (!close || end - close < 4) return false;
  readNumber(readNumber(close + 4, end, parent), end, group);
  return true;
}

// SIGKILL to the groups of the app's children (to the child itself when it shares the app's
// group), found in /proc.
void killChildrenOnCrash() {
  const int proc = ::open("/proc", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (proc < 0) return;
  const int self = ::getpid();
  const int own = ::getpgrp();
  alignas(dirent64) char buffer[4096];
  for (;;) {
    const ssize_t n = ::getdents64(proc, buffer, sizeof buffer);
    if (n <= 0) break;
    for (ssize_t at = 0; at < n;) {
      const auto* entry = reinterpret_cast<const dirent64*>(buffer + at);
      at += entry->d_reclen;
      if (entry->d_name[0] < '1' || entry->d_name[0] > '9') continue;
      int parent = 0, group = 0, pid = 0;
      readNumber(entry->d_name, entry->d_name + std::strlen(entry->d_name), pid);
      if (!parentAndGroup(entry->d_name, parent, group) || parent != self) continue;
      if (group == own) {
        ::kill(pid, SIGKILL);
      } else if (group > 0) {
        ::kill(-group, SIGKILL);
      }
    }
  }
  ::close(proc);
}

constexpr int fatalSignals[] = {SIGSEGV, SIGBUS, SIGABRT, SIGFPE, SIGILL};
std::atomic<bool> crashed{false};
std::atomic<DisplayBroken> displayBroken{nullptr};

void onFatalSignal(int number) {
  // SA_RESETHAND has put the default action back: the same signal ends the process once this
  // returns, whether a fault comes again or the raise below is delivered.
  if (!crashed.exchange(true)) {
    if (crashPaths.ready) {
      ::unlink(crashPaths.json);
      ::unlink(crashPaths.headers);
    }
    pid_t groups[64];
    const auto count = runtime::groupsLeftBehind(groups, std::size(groups));
    for (std::size_t i = 0; i < count; ++i) ::kill(-groups[i], SIGKILL);
    killChildrenOnCrash();
    if (const auto broken = displayBroken.load(); broken && broken()) {
      static constexpr char line[] = "A library crashed on the lost X connection\n";
      [[maybe_unused]] const auto written = ::write(STDERR_FILENO, line, sizeof line - 1);
      ::_exit(lostDisplayStatus);
    }
  }
  ::raise(number);
}

// The stack a crash's handler runs on, so that a stack overflow reaches it too.
alignas(16) char crashStack[64 * 1024];

std::atomic<int> earlyQuitSignal{0};

void onEarlyQuitSignal(int number) {
  earlyQuitSignal = number;
}

}  // namespace

void coverFatalSignals() {
  stack_t stack{};
  stack.ss_sp = crashStack;
  stack.ss_size = sizeof crashStack;
  ::sigaltstack(&stack, nullptr);
  struct sigaction action {};
  action.sa_handler = onFatalSignal;
  action.sa_flags = SA_ONSTACK | SA_RESETHAND;
  sigemptyset(&action.sa_mask);
  for (int number : fatalSignals) ::sigaction(number, &action, nullptr);
}

void crashesAfterDisplayLoss(DisplayBroken broken) {
  displayBroken = broken;
}

void catchEarlyQuitSignals() {
  struct sigaction action {};
  action.sa_handler = onEarlyQuitSignal;
  action.sa_flags = SA_RESTART;
  sigemptyset(&action.sa_mask);
  for (int number : {SIGTERM, SIGINT, SIGHUP}) ::sigaction(number, &action, nullptr);
}

bool quitSignalCame() {
  return earlyQuitSignal != 0;
}

void exitNow(int status) {
  auto& state = exitState();
  if (state.ending.exchange(true)) {
    for (;;) pause();  // the first caller ends the process
  }
  cleanUpForExit(state);
  std::fflush(nullptr);
  _exit(status);
}

}  // namespace brindlet::app
