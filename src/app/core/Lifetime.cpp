#include "app/core/Lifetime.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
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

bool anyLeft(const Targets& targets) {
  for (int group : targets.groups) {
    if (kill(-group, 0) == 0) return true;
  }
  for (int pid : targets.loners) {
    if (kill(pid, 0) == 0) return true;
  }
  return false;
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
  while (anyLeft(targets) && clock.now() < end) {
    co_await clock.sleep(std::chrono::milliseconds(20));
  }
  signal(targets, SIGKILL);
}

void killChildGroups(runtime::ProcessTable& table) {
  signal(targetsOf(descendantsOf(getpid(), table.scan())), SIGKILL);
}

asio::awaitable<void> shutDown(HostModel& model, runtime::Duration limit) {
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
  // Steps are named before they are awaited: g++ 12 may destroy a temporary inside a co_await
  // expression twice.
  auto streamAndDisplay = stopStreamAndDisplay(model);
  co_await bounded(clock, share, "stream and display", std::move(streamAndDisplay));
  auto transport = stopTransport(model);
  co_await bounded(clock, share, "transport", std::move(transport));
  if (model.deck) model.deck->stop();
  // The groups get what is left of the limit, less a moment for the final kill.
  const auto spent = clock.now() - start;
  const auto grace = limit - spent > share ? limit - spent - share / 2 : share / 2;
  auto children = endChildGroups(*model.processes, clock, grace);
  co_await bounded(clock, grace + share / 4, "child processes", std::move(children));
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

}  // namespace

void exitRemoves(const std::filesystem::path& hookFolder, const std::string& token) {
  std::lock_guard lock(exitState().mutex);
  exitState().hookFolder = hookFolder;
  exitState().token = token;
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
