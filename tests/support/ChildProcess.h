#pragma once

#include <sys/types.h>

#include <chrono>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace brindlet::testsupport {

// A program run by a test: in its own process group, standard input from the test, standard
// output and error together to the test. Stopped by its process group id when destroyed; it
// also gets SIGTERM when the thread that started it ends, so a killed test leaves nothing behind.
class ChildProcess {
 public:
  explicit ChildProcess(const std::vector<std::string>& argv);
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  pid_t pid() const { return pid_; }
  void write(std::string_view bytes);
  void closeInput();
  // Reads output until it contains `text`; false when the time runs out or the output ends.
  bool waitFor(std::string_view text, std::chrono::milliseconds timeout);
  // The exit status once the program has ended on its own, else nothing.
  std::optional<int> waitExit(std::chrono::milliseconds timeout);
  const std::string& output() const { return output_; }
  void stop();

 private:
  bool readSome(std::chrono::milliseconds timeout);

  pid_t pid_ = -1;
  int input_ = -1;
  int output_fd_ = -1;
  std::string output_;
  std::optional<int> status_;
};

// Runs a program to its end; its exit status and its standard output.
struct ProgramResult {
  int status = -1;
  std::string output;
};
ProgramResult runProgram(const std::vector<std::string>& argv);

}  // namespace brindlet::testsupport
