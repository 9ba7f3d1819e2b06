#include "support/ChildProcess.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <stdexcept>

namespace brindlet::testsupport {
namespace {

using Clock = std::chrono::steady_clock;

pid_t spawn(const std::vector<std::string>& argv, int in, int out, bool mergeErrors) {
  // Everything is prepared before the fork: other threads (the bus library's) may hold locks
  // that the child must not need.
  std::vector<char*> args;
  for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  const pid_t parent = getpid();
  pid_t pid = fork();
  if (pid < 0) throw std::runtime_error("fork failed");
  if (pid == 0) {
    // A test binary that is killed must leave no servers behind: the child goes with it, even
    // when the test died before the fork returned here.
    prctl(PR_SET_PDEATHSIG, SIGTERM);
    if (getppid() != parent) _exit(127);
    setpgid(0, 0);
    if (in >= 0) dup2(in, STDIN_FILENO);
    dup2(out, STDOUT_FILENO);
    if (mergeErrors) dup2(out, STDERR_FILENO);
    execvp(args[0], args.data());
    _exit(127);
  }
  setpgid(pid, pid);
  return pid;
}

int exitCode(int status) {
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

}  // namespace

ChildProcess::ChildProcess(const std::vector<std::string>& argv) {
  signal(SIGPIPE, SIG_IGN);  // a program that has ended makes write() fail, not the test die
  int in[2], out[2];
  if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0)
    throw std::runtime_error("pipe failed");
  pid_ = spawn(argv, in[0], out[1], true);
  close(in[0]);
  close(out[1]);
  input_ = in[1];
  output_fd_ = out[0];
}

ChildProcess::~ChildProcess() {
  stop();
}

void ChildProcess::write(std::string_view bytes) {
  while (!bytes.empty()) {
    ssize_t n = ::write(input_, bytes.data(), bytes.size());
    if (n <= 0) throw std::runtime_error("child's input closed");
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
}

void ChildProcess::closeInput() {
  if (input_ >= 0) close(input_);
  input_ = -1;
}

bool ChildProcess::readSome(std::chrono::milliseconds timeout) {
  pollfd p{output_fd_, POLLIN, 0};
  if (poll(&p, 1, static_cast<int>(timeout.count())) <= 0) return false;
  char buffer[65536];
  ssize_t n = read(output_fd_, buffer, sizeof buffer);
  if (n <= 0) return false;
  output_.append(buffer, static_cast<std::size_t>(n));
  return true;
}

bool ChildProcess::waitFor(std::string_view text, std::chrono::milliseconds timeout) {
  auto deadline = Clock::now() + timeout;
  while (output_.find(text) == std::string::npos) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    if (left.count() <= 0 || !readSome(left)) return output_.find(text) != std::string::npos;
  }
  return true;
}

std::optional<int> ChildProcess::waitExit(std::chrono::milliseconds timeout) {
  auto deadline = Clock::now() + timeout;
  while (!status_) {
    int status = 0;
    if (waitpid(pid_, &status, WNOHANG) == pid_) {
      status_ = exitCode(status);
      break;
    }
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    if (left.count() <= 0) break;
    // Draining the output also keeps a chatty program from blocking on a full pipe.
    if (!readSome(std::min(left, std::chrono::milliseconds(20)))) usleep(5000);
  }
  return status_;
}

void ChildProcess::stop() {
  closeInput();
  if (pid_ > 0 && !status_) {
    kill(-pid_, SIGTERM);
    int status = 0;
    waitpid(pid_, &status, 0);
    status_ = exitCode(status);
  }
  if (pid_ > 0) kill(-pid_, SIGKILL);  // whatever of its group is left
  if (output_fd_ >= 0) close(output_fd_);
  output_fd_ = -1;
}

ProgramResult runProgram(const std::vector<std::string>& argv) {
  int out[2];
  if (pipe2(out, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
  pid_t pid = spawn(argv, -1, out[1], false);
  close(out[1]);
  ProgramResult result;
  char buffer[4096];
  for (ssize_t n; (n = read(out[0], buffer, sizeof buffer)) > 0;) result.output.append(buffer, n);
  close(out[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  result.status = exitCode(status);
  return result;
}

}  // namespace brindlet::testsupport
