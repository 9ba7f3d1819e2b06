#pragma once

#include <memory>
#include <string>

#include "support/ChildProcess.h"
#include "support/TempDir.h"

namespace brindlet::testsupport {

// A private session bus with an accessibility bus beside it (at-spi-bus-launcher), for apps on
// the given X display, all under a temporary home since accessibility settings live in dconf.
// Points this process's environment at it; stopped by process group on destruction. One per
// process: libatspi keeps its first connection.
class AccessibilityBus {
 public:
  // A service of the same session (a keyring), started beside the launcher: its shell command
  // and the bus name it takes.
  struct Alongside {
    std::string command;
    std::string name;
  };

  explicit AccessibilityBus(const std::string& display, const Alongside& alongside = {});
  ~AccessibilityBus();
  AccessibilityBus(const AccessibilityBus&) = delete;
  AccessibilityBus& operator=(const AccessibilityBus&) = delete;

 private:
  TempDir home_;
  std::unique_ptr<ChildProcess> bus_;
};

}  // namespace brindlet::testsupport
