#include "KeyringSession.h"

#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <stdexcept>

#include "support/SessionBus.h"

namespace brindlet::platform {

namespace fs = std::filesystem;

KeyringSession::KeyringSession() {
  char pattern[] = "/tmp/brindlet-keyring-XXXXXX";
  if (!mkdtemp(pattern)) throw std::runtime_error("mkdtemp failed");
  home_ = pattern;
  for (const char* dir : {"data", "config", "cache", "run"})
    fs::create_directory(home_ + "/" + dir);
  chmod((home_ + "/run").c_str(), 0700);
  setenv("HOME", home_.c_str(), 1);
  setenv("XDG_DATA_HOME", (home_ + "/data").c_str(), 1);
  setenv("XDG_CONFIG_HOME", (home_ + "/config").c_str(), 1);
  setenv("XDG_CACHE_HOME", (home_ + "/cache").c_str(), 1);
  setenv("XDG_RUNTIME_DIR", (home_ + "/run").c_str(), 1);
  unsetenv("DISPLAY");  // no unlock prompts
  unsetenv("DBUS_SESSION_BUS_ADDRESS");

  // The keyring reads its (empty) password from standard input and unlocks the login
  // collection with it, creating it the first time.
  bus_ = testsupport::startSessionBus(
      home_,
      "echo | gnome-keyring-daemon --foreground --unlock --components=secrets >/dev/null 2>&1",
      "org.freedesktop.secrets");
}

KeyringSession::~KeyringSession() {
  bus_.reset();
  std::error_code ignored;
  fs::remove_all(home_, ignored);
}

}  // namespace brindlet::platform
