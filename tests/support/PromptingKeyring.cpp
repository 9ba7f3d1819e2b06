#include "support/PromptingKeyring.h"

#include <signal.h>

#include <cstdlib>
#include <optional>

#include "support/Eventually.h"
#include "support/SessionBus.h"

namespace brindlet::testsupport {

PromptingKeyring::PromptingKeyring(const std::string& display) {
  const char* before = std::getenv("DBUS_SESSION_BUS_ADDRESS");
  const std::optional<std::string> ours =
      before ? std::optional<std::string>(before) : std::nullopt;
  // The prompter is started by the bus, in the bus's environment; the keyring keeps its files
  // in a home of its own.
  const std::string home = home_.path();
  const std::string command =
      "dbus-update-activation-environment DISPLAY=" + display + " && HOME=" + home +
      " XDG_DATA_HOME=" + home + " XDG_CONFIG_HOME=" + home + " XDG_RUNTIME_DIR=" + home +
      " exec gnome-keyring-daemon --foreground --components=secrets >/dev/null 2>&1";
  bus_ = startSessionBus(home, command, "org.freedesktop.secrets");
  address_ = std::getenv("DBUS_SESSION_BUS_ADDRESS");
  if (ours) {
    setenv("DBUS_SESSION_BUS_ADDRESS", ours->c_str(), 1);
  } else {
    unsetenv("DBUS_SESSION_BUS_ADDRESS");
  }
}

PromptingKeyring::~PromptingKeyring() {
  kill();
}

bool PromptingKeyring::prompting(std::chrono::milliseconds timeout) const {
  return eventually(
      [&] {
        const auto answer = runProgram(
            {"dbus-send", "--bus=" + address_, "--dest=org.freedesktop.DBus", "--print-reply",
             "/org/freedesktop/DBus", "org.freedesktop.DBus.NameHasOwner",
             "string:org.gnome.keyring.SystemPrompter"});
        return answer.output.find("boolean true") != std::string::npos;
      },
      timeout, std::chrono::milliseconds(50));
}

void PromptingKeyring::kill() {
  // The runner leads a process group of its own, which the bus, the keyring and the prompter
  // it started are in.
  if (!bus_ || bus_->waitExit(std::chrono::milliseconds(0))) return;
  ::kill(-bus_->pid(), SIGKILL);
  bus_->waitExit(std::chrono::seconds(5));
}

}  // namespace brindlet::testsupport
