#pragma once

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <boost/asio/awaitable.hpp>

#include "app/core/App.h"
#include "runtime/Clock.h"
#include "runtime/FileDescriptor.h"
#include "runtime/ProcessTable.h"

namespace brindlet::app {

class HostModel;

// The app's own log texts about its life.
inline constexpr std::string_view alreadyRunningText = "Brindlet is already running";
inline constexpr std::string_view waylandText =
    "Brindlet needs an X11 session; this is a Wayland session";

inline constexpr std::string_view needsDisplayText = "Brindlet needs an X11 display: ";

// What the command line asks for. The app takes one flag of its own, and the session flags that
// the toolkit gives a session manager to restart it with ("-session <id>"), which the toolkit
// reads itself;
// anything else is a mistake that starts nothing, so that a typo never runs the app with a
// setting it did not get.
enum class Invocation { run, help, mistaken };
Invocation invocationOf(int argc, const char* const* argv);
inline constexpr std::string_view usageText =
    "Usage: brindlet [--log-both]\n"
    "Turns a nearby phone into an extra display and a touch deck for this computer.\n"
    "\n"
    "  --log-both  write the log to standard error as well as to the journal\n"
    "  --help      show this help and exit\n";
// How the process ends when its command line is mistaken.
inline constexpr int usageStatus = 2;

// Why the app cannot run in this session, from its environment's XDG_SESSION_TYPE and
// WAYLAND_DISPLAY (set without a session type where the login did not say): on Wayland X offers
// only XWayland's share (no output to add, capture and input of X clients only).
std::optional<std::string> sessionRefusal(const std::optional<std::string>& sessionType,
                                          const std::optional<std::string>& waylandDisplay = {});

// How long a display may take to answer the first connection before the app gives up on it.
inline constexpr std::chrono::seconds displayAnswerLimit{5};

// The line the app ends with when `display` (DISPLAY as given; none when unset) cannot be opened,
// or (`silent`) accepted the connection and never answered.
std::string displayRefusal(const std::optional<std::string>& display, bool silent = false);

// One running copy of the app per user: an exclusive lock on a file, held for the process's
// life. A second copy would overwrite the hook server's discovery file, compete for the phone
// and light a second output.
class InstanceLock {
 public:
  // $XDG_RUNTIME_DIR/brindlet/instance.lock
  static std::filesystem::path defaultPath();
  // None when another process holds it. Throws std::system_error when the file cannot be made.
  static std::optional<InstanceLock> acquire(const std::filesystem::path& path);

 private:
  explicit InstanceLock(runtime::FileDescriptor file) : file_(std::move(file)) {}
  runtime::FileDescriptor file_;  // the lock goes with the descriptor
};

// The processes descending from `root`, by their parent links, in no particular order.
std::vector<int> descendantsOf(int root, const std::vector<runtime::ProcessEntry>& processes);

// Ends what the app started that would outlive it: SIGTERM to each child's process group, and
// SIGKILL to what is left once `grace` is over. A child that shares the app's own group (a reader
// of its standard error that the shell made its child) is not the app's program and is left.
boost::asio::awaitable<void> endChildGroups(runtime::ProcessTable& table, runtime::Clock& clock,
                                            runtime::Duration grace);

// The same at once, with SIGKILL, on the calling thread: for an exit that cannot wait for the
// loop. `table` is the caller's own (a scan keeps state).
void killChildGroups(runtime::ProcessTable& table);

// The quit's two halves over the model, each bounded by its shares of `limit` (the whole quit's):
// first the hook server (its waiting requests answered "{}") and its discovery files, the deck
// engine and the child process groups, which would outlive the app and talk to no X server; then
// the session's stream and extra display and the transport's links. A piece that has not
// finished in its share is left.
class ModelQuit final : public QuitSteps {
 public:
  ModelQuit(std::shared_ptr<HostModel> model, runtime::Duration limit);
  boost::asio::awaitable<void> stopWhatOutlivesTheApp() override;
  boost::asio::awaitable<void> stopStreamDisplayAndLinks() override;

 private:
  std::shared_ptr<HostModel> model_;
  runtime::Duration limit_;
};

}  // namespace brindlet::app
