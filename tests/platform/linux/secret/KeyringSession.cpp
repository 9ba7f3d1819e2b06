#include "KeyringSession.h"

#include <sys/stat.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <thread>

namespace brindlet::platform {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using testsupport::runProgram;

bool secretsNameOwned() {
  auto r = runProgram({"dbus-send", "--session", "--dest=org.freedesktop.DBus",
                       "--type=method_call", "--print-reply", "/org/freedesktop/DBus",
                       "org.freedesktop.DBus.NameHasOwner", "string:org.freedesktop.secrets"});
  return r.status == 0 && r.output.find("boolean true") != std::string::npos;
}

}  // namespace

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
  const std::string address = home_ + "/bus-address";
  const std::string script = "echo \"$DBUS_SESSION_BUS_ADDRESS\" > '" + address + ".new' && mv '" +
                             address + ".new' '" + address +
                             "' && echo | gnome-keyring-daemon --foreground --unlock "
                             "--components=secrets >/dev/null 2>&1";
  bus_ = std::make_unique<testsupport::ChildProcess>(
      std::vector<std::string>{"dbus-run-session", "--", "sh", "-c", script});

  auto deadline = std::chrono::steady_clock::now() + 15s;
  bool addressKnown = false;
  while (!addressKnown || !secretsNameOwned()) {
    if (std::chrono::steady_clock::now() > deadline)
      throw std::runtime_error("gnome-keyring did not come up: " + bus_->output());
    if (!addressKnown && fs::exists(address)) {
      std::ifstream in(address);
      std::string line;
      std::getline(in, line);
      setenv("DBUS_SESSION_BUS_ADDRESS", line.c_str(), 1);
      addressKnown = true;
    }
    std::this_thread::sleep_for(50ms);
  }
}

KeyringSession::~KeyringSession() {
  bus_.reset();
  std::error_code ignored;
  fs::remove_all(home_, ignored);
}

}  // namespace brindlet::platform
