#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/awaitable.hpp>

#include "runtime/Clock.h"
#include "runtime/Process.h"
#include "runtime/TaskGroup.h"

namespace brindlet::runtime {

// How a program that was run to its end went.
struct ProgramRun {
  enum class Ending { exited, notStarted, timedOut };
  Ending ending = Ending::exited;
  ExitStatus status;   // when it exited
  std::string output;  // standard output and error together, up to the output limit
  std::string error;   // why it could not start (ProcessError's text)

  bool succeeded() const { return ending == Ending::exited && status.succeeded(); }
};

// How long a program may run and what of it is kept.
struct ProgramLimits {
  // At most this of the clock's time, then the run ends as timed out; none: until it ends.
  std::optional<Duration> time;
  std::size_t output = std::size_t(1) << 20;  // bytes of output kept; the rest is dropped
  // After a time-out the program's whole process group is ended: at once with SIGKILL when this
  // is zero; else SIGTERM first, and SIGKILL to what is left once this has passed. The run
  // returns at the time-out either way; the group is ended in the background.
  Duration grace{};
};

// Runs short programs (tmux, helpers, shell commands) to their end without holding up the loop.
class ProgramRunning {
 public:
  virtual ~ProgramRunning() = default;
  virtual boost::asio::awaitable<ProgramRun> run(std::vector<std::string> argv,
                                                 ProgramLimits limits) = 0;
};

// Each program as a Process: started on the blocking worker, in a process group of its own,
// awaited on the executor's loop. What the runner leaves running (programs it was told to
// detach, groups being ended after a time-out, what a program started in the background and
// that still holds its output) belongs to it: destroying the runner kills them.
class ProgramRunner : public ProgramRunning {
 public:
  ProgramRunner(boost::asio::any_io_executor executor, std::shared_ptr<Clock> clock);
  boost::asio::awaitable<ProgramRun> run(std::vector<std::string> argv,
                                         ProgramLimits limits) override;
  // Starts a program whose result nobody waits for; failing to start it is ignored.
  void detach(std::vector<std::string> argv);

 private:
  boost::asio::any_io_executor executor_;
  std::shared_ptr<Clock> clock_;
  TaskGroup tasks_;
};

}  // namespace brindlet::runtime
