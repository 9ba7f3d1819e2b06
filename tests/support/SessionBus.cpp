#include "support/SessionBus.h"

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <thread>

namespace brindlet::testsupport {
namespace {

bool nameOwned(const std::string& name) {
  auto r = runProgram({"dbus-send", "--session", "--dest=org.freedesktop.DBus",
                       "--type=method_call", "--print-reply", "/org/freedesktop/DBus",
                       "org.freedesktop.DBus.NameHasOwner", "string:" + name});
  return r.status == 0 && r.output.find("boolean true") != std::string::npos;
}

}  // namespace

void usePrivateHome(const std::string& home) {
  namespace fs = std::filesystem;
  setenv("HOME", home.c_str(), 1);
  const std::pair<const char*, const char*> folders[] = {{"XDG_DATA_HOME", "data"},
                                                         {"XDG_CONFIG_HOME", "config"},
                                                         {"XDG_CACHE_HOME", "cache"},
                                                         {"XDG_RUNTIME_DIR", "run"}};
  for (const auto& [variable, name] : folders) {
    const std::string folder = home + "/" + name;
    fs::create_directories(folder);
    fs::permissions(folder, fs::perms::owner_all, fs::perm_options::replace);
    setenv(variable, folder.c_str(), 1);
  }
}

std::unique_ptr<ChildProcess> startSessionBus(const std::string& folder, const std::string& command,
                                              const std::string& name) {
  return startSessionBus(folder, command, std::vector<std::string>{name});
}

std::unique_ptr<ChildProcess> startSessionBus(const std::string& folder, const std::string& command,
                                              const std::vector<std::string>& names) {
  unsetenv("DBUS_SESSION_BUS_ADDRESS");
  const std::string address = folder + "/bus-address";
  const std::string script = "echo \"$DBUS_SESSION_BUS_ADDRESS\" > '" + address + ".new' && mv '" +
                             address + ".new' '" + address + "' && " + command;
  auto bus = std::make_unique<ChildProcess>(
      std::vector<std::string>{"dbus-run-session", "--", "sh", "-c", script});

  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(15);
  bool addressKnown = false;
  auto missing = [&]() -> const std::string* {
    for (const auto& name : names)
      if (!nameOwned(name)) return &name;
    return nullptr;
  };
  while (!addressKnown || missing()) {
    if (std::chrono::steady_clock::now() > deadline) {
      const std::string* name = addressKnown ? missing() : &names.front();
      throw std::runtime_error(*name + " did not come up: " + bus->output());
    }
    if (!addressKnown && std::filesystem::exists(address)) {
      std::ifstream in(address);
      std::string line;
      std::getline(in, line);
      setenv("DBUS_SESSION_BUS_ADDRESS", line.c_str(), 1);
      addressKnown = true;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return bus;
}

}  // namespace brindlet::testsupport
