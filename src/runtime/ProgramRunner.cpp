#include "runtime/ProgramRunner.h"

#include <optional>

#include "runtime/Timeout.h"

namespace brindlet::runtime {
namespace {

namespace asio = boost::asio;

asio::awaitable<void> endGroup(Process process, Duration grace) {
  co_await process.terminateGroup(grace);
}

// A program's result is in while something it started in the background still writes to its
// output: the process is kept, so that the pipe is read until nothing holds it, and its group
// ends with the runner.
asio::awaitable<void> keepUntilReleased(Process process) {
  co_await process.released();
}

asio::awaitable<void> runDetached(asio::any_io_executor executor, Process::Options options,
                                  std::shared_ptr<Clock> clock) {
  try {
    auto launching = Process::launch(std::move(executor), std::move(options), std::move(clock));
    auto process = co_await std::move(launching);
    co_await process.exited();
    co_await process.released();
  } catch (const ProcessError&) {
  }
}

}  // namespace

ProgramRunner::ProgramRunner(asio::any_io_executor executor, std::shared_ptr<Clock> clock)
    : executor_(executor), clock_(std::move(clock)), tasks_(std::move(executor)) {}

asio::awaitable<ProgramRun> ProgramRunner::run(std::vector<std::string> argv,
                                               ProgramLimits limits) {
  Process::Options options;
  options.argv = std::move(argv);
  options.outputLimit = limits.output;
  std::optional<Process> process;
  try {
    auto launching = Process::launch(executor_, std::move(options), clock_);
    process.emplace(co_await std::move(launching));
  } catch (const ProcessError& error) {
    co_return ProgramRun{ProgramRun::Ending::notStarted, {}, {}, error.text()};
  }
  auto ended = process->exited();
  std::optional<ExitStatus> status;
  if (limits.time) {
    status = co_await within(*clock_, *limits.time, std::move(ended));
  } else {
    status = co_await std::move(ended);
  }
  if (status) {
    ProgramRun run{ProgramRun::Ending::exited, *status, process->output(), {}};
    if (process->outputHeld()) tasks_.spawn(keepUntilReleased(std::move(*process)));
    co_return run;
  }
  ProgramRun run{ProgramRun::Ending::timedOut, {}, process->output(), {}};
  if (limits.grace > Duration::zero()) {
    tasks_.spawn(endGroup(std::move(*process), limits.grace));
  } else {
    process.reset();  // kills the group and reaps the child
  }
  co_return run;
}

void ProgramRunner::detach(std::vector<std::string> argv) {
  Process::Options options;
  options.argv = std::move(argv);
  tasks_.spawn(runDetached(executor_, std::move(options), clock_));
}

}  // namespace brindlet::runtime
