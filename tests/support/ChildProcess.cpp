#include "support/ChildProcess.h"

#include <boost/asio/io_context.hpp>
#include <fstream>
#include <iterator>
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

}  // namespace brindlet::testsupport
