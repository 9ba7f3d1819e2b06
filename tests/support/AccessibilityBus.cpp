#include "support/AccessibilityBus.h"

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <thread>

namespace brindlet::testsupport {
namespace {

using namespace std::chrono_literals;

bool nameOwned(const std::string& name) {
  auto r = runProgram({"dbus-send", "--session", "--dest=org.freedesktop.DBus",
                       "--type=method_call", "--print-reply", "/org/freedesktop/DBus",
                       "org.freedesktop.DBus.NameHasOwner", "string:" + name});
  return r.status == 0 && r.output.find("boolean true") != std::string::npos;
}

}  // namespace

AccessibilityBus::AccessibilityBus(const std::string& display) {
  setenv("HOME", home_.path().c_str(), 1);
  setenv("XDG_CONFIG_HOME", home_.path().c_str(), 1);
  setenv("XDG_CACHE_HOME", home_.path().c_str(), 1);
  setenv("XDG_RUNTIME_DIR", home_.path().c_str(), 1);
  unsetenv("DBUS_SESSION_BUS_ADDRESS");
  unsetenv("AT_SPI_BUS_ADDRESS");
  unsetenv("NO_AT_BRIDGE");

  const std::string address = home_.file("bus-address");
  const std::string script = "echo \"$DBUS_SESSION_BUS_ADDRESS\" > '" + address + ".new' && mv '" +
                             address + ".new' '" + address + "' && exec env DISPLAY=" + display +
                             " /usr/libexec/at-spi-bus-launcher --launch-immediately";
  bus_ = std::make_unique<ChildProcess>(
      std::vector<std::string>{"dbus-run-session", "--", "sh", "-c", script});

  const auto deadline = std::chrono::steady_clock::now() + 15s;
  bool addressKnown = false;
  while (!addressKnown || !nameOwned("org.a11y.Bus")) {
    if (std::chrono::steady_clock::now() > deadline) {
      throw std::runtime_error("the accessibility bus did not come up: " + bus_->output());
    }
    if (!addressKnown && std::filesystem::exists(address)) {
      std::ifstream in(address);
      std::string line;
      std::getline(in, line);
      setenv("DBUS_SESSION_BUS_ADDRESS", line.c_str(), 1);
      addressKnown = true;
    }
    std::this_thread::sleep_for(50ms);
  }
}

AccessibilityBus::~AccessibilityBus() {
  bus_.reset();
}

}  // namespace brindlet::testsupport
