#pragma once

#include <sys/types.h>

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace brindlet::testsupport {

// A program run by a test: in its own process group, standard input from the test, standard
// output and error together to the test, read while the test waits. Stopped by its process group
// id when destroyed; it also gets SIGTERM when the thread that started it ends, so a killed test
// leaves nothing behind. A program that is not there exits with 127.
class ChildProcess {
 public:
  explicit ChildProcess(const std::vector<std::string>& argv);
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  pid_t pid() const;
  void write(std::string_view bytes);
  void closeInput();
  // Reads output until it contains `text`; false when the time runs out or the output ends.
  bool waitFor(std::string_view text, std::chrono::milliseconds timeout);
  // The exit status once the program has ended on its own, else nothing.
  std::optional<int> waitExit(std::chrono::milliseconds timeout);
  const std::string& output() const;
  void stop();

 private:
  struct Running;
  std::unique_ptr<Running> running_;
};

// Runs a program to its end, standard input from /dev/null; its exit status and its standard
// output (its standard error is the test's).
struct ProgramResult {
  int status = -1;
  std::string output;
};
ProgramResult runProgram(const std::vector<std::string>& argv);

// The CPU time a process has used so far (all its threads), in seconds; 0 when it cannot be read.
double cpuSecondsOf(pid_t pid);
// The cores a process used over `span`, waited for here.
double coresOver(pid_t pid, std::chrono::milliseconds span);
// The cores a process used over `span`, while `meanwhile` runs on this thread (it is called until
// the span is over).
template <class Meanwhile>
double coresOver(pid_t pid, std::chrono::milliseconds span, Meanwhile meanwhile) {
  const double before = cpuSecondsOf(pid);
  const auto end = std::chrono::steady_clock::now() + span;
  while (std::chrono::steady_clock::now() < end) meanwhile();
  return (cpuSecondsOf(pid) - before) / std::chrono::duration<double>(span).count();
}

}  // namespace brindlet::testsupport
