#include "support/ChildProcess.h"

#include <unistd.h>

#include <boost/asio/io_context.hpp>
#include <fstream>
#include <iterator>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "runtime/Process.h"
#include "runtime/ProcessTable.h"
#include "runtime/Task.h"
#include "support/Loop.h"

namespace brindlet::testsupport {
namespace {

using Clock = std::chrono::steady_clock;
using runtime::Process;

constexpr std::size_t kKeptOutput = std::size_t(64) << 20;

int exitCode(const runtime::ExitStatus& status) {
  return status.signal != 0 ? 128 + status.signal : status.code;
}

}  // namespace

// The child's own loop, run only while the test waits for the child.
struct ChildProcess::Running {
  boost::asio::io_context loop;
  std::optional<Process> process;

  // Runs the loop until `done` holds or the time is up; whether it holds.
  template <class Done>
  bool runUntil(Done done, std::chrono::milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    while (!done() && Clock::now() < deadline) {
      loop.restart();
      loop.run_one_for(
          std::min<Clock::duration>(deadline - Clock::now(), std::chrono::milliseconds(20)));
    }
    return done();
  }
};

ChildProcess::ChildProcess(const std::vector<std::string>& argv)
    : running_(std::make_unique<Running>()) {
  // setpriv (util-linux) sets the parent-death signal, which posix_spawn cannot.
  std::vector<std::string> command{"setpriv", "--pdeathsig", "TERM", "--"};
  command.insert(command.end(), argv.begin(), argv.end());
  running_->process =
      Process::start(running_->loop.get_executor(),
                     Process::Options{command, Process::Input::pipe, true, kKeptOutput});
}

ChildProcess::~ChildProcess() {
  stop();
}

pid_t ChildProcess::pid() const {
  return running_->process->pid();
}
const std::string& ChildProcess::output() const {
  return running_->process->output();
}

void ChildProcess::write(std::string_view bytes) {
  try {
    brindlet::testing::runUntilDone(running_->loop,
                                    running_->process->writeInput(std::string(bytes)));
  } catch (const runtime::ProcessError&) {
    throw std::runtime_error("child's input closed");
  }
}

void ChildProcess::closeInput() {
  running_->process->closeInput();
}

bool ChildProcess::waitFor(std::string_view text, std::chrono::milliseconds timeout) {
  auto& process = *running_->process;
  running_->runUntil(
      [&] { return process.output().find(text) != std::string::npos || process.status(); },
      timeout);
  return process.output().find(text) != std::string::npos;
}

std::optional<int> ChildProcess::waitExit(std::chrono::milliseconds timeout) {
  auto& process = *running_->process;
  if (!running_->runUntil([&] { return process.status().has_value(); }, timeout)) {
    return std::nullopt;
  }
  return exitCode(*process.status());
}

void ChildProcess::stop() {
  closeInput();
  // Also whatever the program started in its group, when it has ended itself.
  brindlet::testing::runUntilDone(running_->loop,
                                  running_->process->terminateGroup(std::chrono::seconds(10)));
}

ProgramResult runProgram(const std::vector<std::string>& argv) {
  boost::asio::io_context loop;
  auto process = Process::start(loop.get_executor(),
                                Process::Options{argv, Process::Input::none, false, kKeptOutput});
  ProgramResult result;
  result.status = exitCode(brindlet::testing::runUntilDone(loop, process.exited()));
  result.output = process.output();
  return result;
}

double cpuSecondsOf(pid_t pid) {
  std::string stat;
  std::getline(std::ifstream("/proc/" + std::to_string(pid) + "/stat"), stat);
  const auto end = stat.rfind(')');
  if (end == std::string::npos) return 0;
  std::istringstream fields(stat.substr(end + 2));
  std::string field;
  unsigned long long user = 0, system = 0;
  // After the name: state is field 3; user and system time are fields 14 and 15.
  for (int at = 3; at <= 15 && fields >> field; ++at) {
    if (at == 14) user = std::stoull(field);
    if (at == 15) system = std::stoull(field);
  }
  return double(user + system) / double(::sysconf(_SC_CLK_TCK));
}

double coresOver(pid_t pid, std::chrono::milliseconds span) {
  const double before = cpuSecondsOf(pid);
  std::this_thread::sleep_for(span);
  return (cpuSecondsOf(pid) - before) / std::chrono::duration<double>(span).count();
}

}  // namespace brindlet::testsupport
