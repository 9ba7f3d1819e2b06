#pragma once

#include <sys/types.h>

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/awaitable.hpp>

#include "runtime/Clock.h"
#include "runtime/Error.h"

namespace brindlet::runtime {

// Why a child process could not be started or fed.
class ProcessError : public Error {
 public:
  enum class Case { programNotFound, cannotStart, inputClosed };

  static ProcessError programNotFound(std::string program);
  static ProcessError cannotStart(std::string program, std::string reason);
  static ProcessError inputClosed();

  Case kind() const { return kind_; }
  friend bool operator==(const ProcessError& a, const ProcessError& b) {
    return a.text() == b.text();
  }

 private:
  ProcessError(Case kind, std::string text) : Error(std::move(text)), kind_(kind) {}
  Case kind_;
};

// How a child ended: its exit code, or the signal that ended it. Code -1 when the process
// ignores SIGCHLD, so that the system reaped the child before us.
struct ExitStatus {
  int code = 0;
  int signal = 0;  // 0 when it exited by itself
  bool succeeded() const { return code == 0 && signal == 0; }
  friend bool operator==(const ExitStatus&, const ExitStatus&) = default;
};

// A child program in a process group of its own. It inherits standard input (/dev/null or a pipe
// from us), standard output and error (a pipe read on the loop while it runs) and no other
// descriptor, and signal dispositions reset to their defaults. The result comes when the child
// has ended and what it left in the pipe is read, even when something it started still holds the
// pipe; what comes after is then dropped until nothing holds the pipe, so that a program started
// in the background does not die of a broken pipe at its first write. Output past the limit is
// dropped the same way while the child still runs. That drain runs off the loop: while the child
// runs it keeps pace with it, so that a program that writes a lot and then ends is not held up;
// once the result is in it rests between passes, so that what the child left writing without
// pause costs next to nothing.
// Destroying a Process whose child still runs, or whose output something still holds, kills the
// child's group (and reaps the child). Touched only from its executor's thread.
class Process {
 public:
  enum class Input { none, pipe };
  struct Options {
    std::vector<std::string> argv;  // argv[0] is looked up on PATH when it holds no slash
    Input input = Input::none;
    bool captureErrors = true;  // standard error joins the output; else it stays ours
    std::size_t outputLimit = std::size_t(1) << 20;  // bytes of output kept; the rest is read
                                                     // and dropped
  };

  // Throws ProcessError when the program cannot be run. Starting waits for exec, which can wait
  // on the disk: a blocking call, for threads that run no loop.
  static Process start(const boost::asio::any_io_executor& executor, Options options,
                       std::shared_ptr<Clock> clock = Clock::system());
  // The same from a loop: the program is started on the blocking worker.
  static boost::asio::awaitable<Process> launch(boost::asio::any_io_executor executor,
                                                Options options,
                                                std::shared_ptr<Clock> clock = Clock::system());
  Process(Process&&) noexcept;
  Process& operator=(Process&&) noexcept;
  ~Process();

  pid_t pid() const;
  // What the child wrote so far, up to the limit.
  const std::string& output() const;
  bool outputTruncated() const;
  // How it ended, once it has ended and its output is read.
  std::optional<ExitStatus> status() const;

  // Writes to the child's standard input (Input::pipe); throws inputClosed when the child no
  // longer reads it. Writes do not overlap: await one before the next.
  boost::asio::awaitable<void> writeInput(std::string bytes);
  void closeInput();

  // Waits until the child has ended and what it left in the pipe is read.
  boost::asio::awaitable<ExitStatus> exited();
  // Whether something (the child, or what it started) still holds its output open.
  bool outputHeld() const;
  // Waits until nothing holds the output any more.
  boost::asio::awaitable<void> released();
  // SIGTERM to the group; once the child and the rest of its group are gone, or `grace` has
  // passed on the clock, SIGKILL to whatever is left; then waits for the child. The group's end
  // is seen as it happens (endProcessGroup).
  boost::asio::awaitable<ExitStatus> terminateGroup(Duration grace);

 private:
  struct State;
  explicit Process(std::shared_ptr<State> state);
  std::shared_ptr<State> state_;
};

// The groups of children that ended while a program they started still holds their output: those
// on the exit clean-up's list (ExitCleanup.h), and those its full list refused, which nothing but
// the quit ends. For the quit, which ends them with a grace.
std::vector<pid_t> groupsLeftBehind();

// Starts a program that is none of this process's to end, such as an opener that hands a URL to
// the desktop: what it opens belongs to the desktop and must outlive us. It runs in a session of
// its own, with standard input, output and error on /dev/null, under a waiter whose own parent
// leaves at once, so that neither it nor what it starts is a descendant of this process or among
// the groups left behind. Returns how it ended, once it has (the waiter reaps it); the waiter's
// silence (it was killed) reads as code -1. Giving up the wait (cancelling) leaves the program
// running. Throws ProcessError::programNotFound when there is no such program.
boost::asio::awaitable<ExitStatus> handOff(std::vector<std::string> argv);

}  // namespace brindlet::runtime
