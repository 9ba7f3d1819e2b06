#include "app/core/Lifetime.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <map>
#include <set>
#include <system_error>

#include "agents/AgentHub.h"
#include "agents/HookServer.h"
#include "app/core/HostModel.h"
#include "deck/DeckEngine.h"
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

// The groups of the processes but the app's own (the app starts each program in a group of its
// own: what shares its group, such as a reader of its standard error, is not its to end); and the
// groups whose leader has ended while a program it put in the background lives on (no walk down
// from the app finds that program any more), while any of them is left.
struct Targets {
  std::set<int> groups;
};

Targets targetsOf(const std::vector<int>& pids) {
  Targets targets;
  const int own = getpgrp();
  for (int pid : pids) {
    const int group = getpgid(pid);
    if (group < 0) continue;  // gone already
    if (group != own) targets.groups.insert(group);
  }
  for (pid_t group : runtime::groupsLeftBehind()) {
    if (group != own && kill(-group, 0) == 0) targets.groups.insert(group);
  }
  return targets;
}

void signal(const Targets& targets, int number) {
  for (int group : targets.groups) kill(-group, number);
}

// Whether any of the targets still runs, from one reading of /proc for all of them (hundreds of
// groups a key left behind would otherwise cost a reading each, at every check); those that no
// longer run are left out of the later checks and the kill. A member that has ended and waits for
// its parent's (or adopter's) wait does not run: it cannot be signalled any more, and an adopter
// may reap it late or never.
bool anyRunning(Targets& targets) {
  targets.groups = runtime::groupsStillRunning(targets.groups);
  return !targets.groups.empty();
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
    } else if ((word == "-session" || word == "--session") && i + 1 < argc) {
      ++i;
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
  auto targets = targetsOf(pids);
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

ModelQuit::ModelQuit(std::shared_ptr<HostModel> model, runtime::Duration limit)
    : model_(std::move(model)), limit_(limit) {}

asio::awaitable<void> ModelQuit::stopWhatOutlivesTheApp() {
  auto model = model_;
  const auto limit = limit_;
  auto& clock = *model->clock;
  const auto start = clock.now();
  const auto share = limit / 5;
  if (model->hookServer) {
    // Hooks still waiting for the phone are told to ask in the terminal before their
    // connections go; their replies get a moment to leave.
    model->agents->answerWaiting();
    const auto flushEnd = clock.now() + share / 2;
    while (model->hookServer->connectionCount() > 0 && clock.now() < flushEnd) {
      co_await clock.sleep(std::chrono::milliseconds(10));
    }
    model->hookServer->stop();
  }
  if (model->deck) model->deck->stop();
  // The groups get this half's part of the limit (all but the stream's, the display's and the
  // links' shares), less a moment for the final kill.
  const auto own = limit - 2 * share;
  const auto spent = clock.now() - start;
  const auto grace = own - spent > share ? own - spent - share / 2 : share / 2;
  // Steps are named before they are awaited: g++ 12 may destroy a temporary inside a co_await
  // expression twice.
  auto children = endChildGroups(*model->processes, clock, grace);
  co_await bounded(clock, grace + share / 4, "child processes", std::move(children));
}

asio::awaitable<void> ModelQuit::stopStreamDisplayAndLinks() {
  auto model = model_;
  const auto limit = limit_;
  auto& clock = *model->clock;
  const auto share = limit / 5;
  auto streamAndDisplay = stopStreamAndDisplay(*model);
  co_await bounded(clock, share, "stream and display", std::move(streamAndDisplay));
  auto transport = stopTransport(*model);
  co_await bounded(clock, share, "transport", std::move(transport));
}

}  // namespace brindlet::app
