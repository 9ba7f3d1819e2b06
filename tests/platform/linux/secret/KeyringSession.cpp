#include "KeyringSession.h"

#include <cstdlib>

#include "support/SessionBus.h"

namespace brindlet::platform {

KeyringSession::KeyringSession() {
  testsupport::usePrivateHome(home_.path());
  unsetenv("DISPLAY");  // no unlock prompts
  // The keyring reads its (empty) password from standard input and unlocks the login
  // collection with it, creating it the first time.
  bus_ = testsupport::startSessionBus(
      home_.path(),
      "echo | gnome-keyring-daemon --foreground --unlock --components=secrets >/dev/null 2>&1",
      "org.freedesktop.secrets");
}

KeyringSession::~KeyringSession() = default;

}  // namespace brindlet::platform
