#pragma once

#include <cstdlib>
#include <filesystem>
#include <string>

#include "support/TempDir.h"

namespace brindlet::app {

// HOME and XDG_DATA_HOME point into a temporary folder for the test's life.
struct TemporaryHome {
  testsupport::TempDir dir;
  std::string oldHome = std::getenv("HOME") ? std::getenv("HOME") : "";
  TemporaryHome() {
    setenv("HOME", dir.path().c_str(), 1);
    setenv("XDG_DATA_HOME", (dir.path() + "/data").c_str(), 1);
  }
  ~TemporaryHome() {
    setenv("HOME", oldHome.c_str(), 1);
    unsetenv("XDG_DATA_HOME");
  }
  std::filesystem::path settings() const {
    return std::filesystem::path(dir.path()) / ".claude/settings.json";
  }
};

}  // namespace brindlet::app
