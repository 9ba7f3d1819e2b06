#include "runtime/ProgramRunner.h"

#include <optional>

#include "runtime/Timeout.h"

namespace brindlet::runtime {

ProgramRunner::ProgramRunner(boost::asio::any_io_executor executor, std::shared_ptr<Clock> clock)
    : executor_(std::move(executor)), clock_(std::move(clock)) {}

boost::asio::awaitable<ProgramRun> ProgramRunner::run(std::vector<std::string> argv,
                                                      Duration limit) {
  std::optional<Process> process;
  try {
    Process::Options options;
    options.argv = std::move(argv);
    process.emplace(Process::start(executor_, std::move(options), clock_));
  } catch (const ProcessError&) {
    co_return ProgramRun{ProgramRun::Ending::notStarted, {}, {}};
  }
  auto ended = process->exited();
  const auto status = co_await within(*clock_, limit, std::move(ended));
  if (!status) {
    std::string output = process->output();
    process.reset();  // kills the group and reaps the child
    co_return ProgramRun{ProgramRun::Ending::timedOut, {}, std::move(output)};
  }
  co_return ProgramRun{ProgramRun::Ending::exited, *status, process->output()};
}

}  // namespace brindlet::runtime
