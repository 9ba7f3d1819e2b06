#pragma once

#include <memory>
#include <string>

#include "support/ChildProcess.h"
#include "support/TempDir.h"

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

 private:
  testsupport::TempDir home_;
  std::unique_ptr<testsupport::ChildProcess> bus_;
};

}  // namespace brindlet::platform
