#pragma once

#include <memory>
#include <string>
#include <vector>

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/awaitable.hpp>

#include "runtime/Clock.h"
#include "runtime/Process.h"

namespace brindlet::runtime {

// How a program that was run to its end went.
struct ProgramRun {
  enum class Ending { exited, notStarted, timedOut };
  Ending ending = Ending::exited;
  ExitStatus status;   // when it exited
  std::string output;  // standard output and error together, up to the process's limit

  bool succeeded() const { return ending == Ending::exited && status.succeeded(); }
};

// Runs short programs (tmux, helpers) to their end without holding up the loop.
class ProgramRunning {
 public:
  virtual ~ProgramRunning() = default;
  // At most `limit` of the clock's time; then the program's whole process group is killed.
  virtual boost::asio::awaitable<ProgramRun> run(std::vector<std::string> argv, Duration limit) = 0;
};

// Each program as a Process: a process group of its own, awaited on the executor's loop.
class ProgramRunner : public ProgramRunning {
 public:
  ProgramRunner(boost::asio::any_io_executor executor, std::shared_ptr<Clock> clock);
  boost::asio::awaitable<ProgramRun> run(std::vector<std::string> argv, Duration limit) override;

 private:
  boost::asio::any_io_executor executor_;
  std::shared_ptr<Clock> clock_;
};

}  // namespace brindlet::runtime
