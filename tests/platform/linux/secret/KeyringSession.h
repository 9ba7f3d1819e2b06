#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace brindlet::platform {

// A private session bus with gnome-keyring on it, unlocked with an empty password, all under a
// temporary home. Points this process's environment at it; stopped by process group on
// destruction. One per process: libsecret keeps its first connection.
class KeyringSession {
 public:
  KeyringSession();
  ~KeyringSession();
  KeyringSession(const KeyringSession&) = delete;
  KeyringSession& operator=(const KeyringSession&) = delete;

  const std::string& home() const { return home_; }

 private:
  std::string home_;
  pid_t pid_ = -1;
};

// Runs a program to its end with this process's environment; its standard output and exit
// status.
struct ProgramResult {
  int status = -1;
  std::string output;
};
ProgramResult runProgram(const std::vector<std::string>& argv);

}  // namespace brindlet::platform
