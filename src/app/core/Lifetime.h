#pragma once

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <boost/asio/awaitable.hpp>

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

// What the command line asks for. The app takes one flag of its own; anything else is a mistake
// that starts nothing, so that a typo never runs the app with a setting it did not get.
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

// How the process ends: 0 after a quit, 1 when it cannot start, 3 when the X display went away
// under it.
inline constexpr int startFailedStatus = 1;
inline constexpr int lostDisplayStatus = 3;

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

// Ends what the app started that would outlive it: SIGTERM to each child's process group (or to
// the child, when it shares the app's group), and SIGKILL to what is left once `grace` is over.
boost::asio::awaitable<void> endChildGroups(runtime::ProcessTable& table, runtime::Clock& clock,
                                            runtime::Duration grace);

// The same at once, with SIGKILL, on the calling thread: for an exit that cannot wait for the
// loop. `table` is the caller's own (a scan keeps state).
void killChildGroups(runtime::ProcessTable& table);

// What X11 keeps after the app is gone, stopped in order: the hook server (its waiting
// requests answered "{}") and its discovery files, the deck engine and the child process groups,
// then the session's stream and extra display and the transport's links. Bounded by `limit` as a
// whole; each piece that has not finished in its share is left.
boost::asio::awaitable<void> shutDown(HostModel& model, runtime::Duration limit);
// Its two halves, for the app, which stops its windows' event handling between them: what must
// not outlive the app, which talks to no X server, first; the display's removal is then seen by
// nothing that could stumble on a connection going at the same moment. Each takes the whole
// quit's `limit` and keeps to its own shares of it.
boost::asio::awaitable<void> stopWhatOutlivesTheApp(HostModel& model, runtime::Duration limit);
boost::asio::awaitable<void> stopStreamDisplayAndLinks(HostModel& model, runtime::Duration limit);

// The exit that cannot wait for the loop (the X server gone, a quit that overran), from any thread.
// This run's discovery files go and its child process groups are killed first; then the process
// ends by _exit, so that no static destructor runs while a thread of ours may still log or post.
// The first call ends the process; a call from another thread meanwhile waits for that.
[[noreturn]] void exitNow(int status);
// The hook server's folder and token: exitNow removes the discovery files there that name it.
void exitRemoves(const std::filesystem::path& hookFolder, const std::string& token);

// A crash (SIGSEGV, SIGBUS, SIGABRT, SIGFPE, SIGILL), in our code or a library's, still removes
// the discovery files and kills the child process groups, with what was prepared for it and
// system calls only, then ends the process by the same signal. Installed at the top of main, on
// the thread that will not overflow its stack unnoticed.
void coverFatalSignals();
// Whether the X connection is known broken, asked by a crash's handler with system calls only.
// A crash that comes once it is (a library stumbling on replies that never came, Qt's screen
// handling among them) is the display's loss: after the same clean-up, the process ends with
// lostDisplayStatus instead of the signal.
using DisplayBroken = bool (*)() noexcept;
void crashesAfterDisplayLoss(DisplayBroken broken);

// SIGTERM, SIGINT and SIGHUP are caught from the top of main on, so that a quit asked for while
// the app starts ends it as a quit once its loop can act: whether one came so far.
void catchEarlyQuitSignals();
bool quitSignalCame();

}  // namespace brindlet::app
