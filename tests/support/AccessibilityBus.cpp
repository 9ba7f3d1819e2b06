#include "support/AccessibilityBus.h"

#include <cstdlib>

#include "support/SessionBus.h"

namespace brindlet::testsupport {

AccessibilityBus::AccessibilityBus(const std::string& display, const Alongside& alongside) {
  usePrivateHome(home_.path());
  unsetenv("AT_SPI_BUS_ADDRESS");
  unsetenv("NO_AT_BRIDGE");
  const std::string launcher =
      "exec env DISPLAY=" + display + " /usr/libexec/at-spi-bus-launcher --launch-immediately";
  if (alongside.command.empty()) {
    bus_ = startSessionBus(home_.path(), launcher, "org.a11y.Bus");
  } else {
    bus_ = startSessionBus(home_.path(), "(" + alongside.command + ") & " + launcher,
                           std::vector<std::string>{"org.a11y.Bus", alongside.name});
  }
}

AccessibilityBus::~AccessibilityBus() {
  bus_.reset();
}

}  // namespace brindlet::testsupport
