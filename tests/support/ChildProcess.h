#pragma once

#include <sys/types.h>

#include <chrono>
#include <string>
#include <vector>

namespace brindlet::testing {

// A program started by a test, with its output in a log file; stopped by process id (SIGTERM,
// then SIGKILL) when the value goes away.
class ChildProcess {
 public:
  ChildProcess(std::vector<std::string> argv, std::string logPath,
               std::vector<std::string> extraEnvironment = {});
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  pid_t pid() const { return pid_; }
  const std::string& logPath() const { return logPath_; }
  std::string log() const;
  // Waits until the log holds the text; false after the time-out or when the program ended.
  bool waitForLog(const std::string& text, std::chrono::milliseconds timeout) const;
  bool running() const;
  void stop();

 private:
  pid_t pid_ = -1;
  std::string logPath_;
};

// A temporary folder removed with everything in it when the value goes away.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  std::string file(const std::string& name) const { return path_ + "/" + name; }
  void write(const std::string& name, const std::string& contents) const;

 private:
  std::string path_;
};

}  // namespace brindlet::testing
