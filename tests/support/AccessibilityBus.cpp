#include "support/AccessibilityBus.h"

#include <cstdlib>

#include "support/SessionBus.h"

namespace brindlet::testsupport {

AccessibilityBus::AccessibilityBus(const std::string& display) {
  usePrivateHome(home_.path());
  unsetenv("AT_SPI_BUS_ADDRESS");
  unsetenv("NO_AT_BRIDGE");
  bus_ = startSessionBus(
      home_.path(),
      "exec env DISPLAY=" + display + " /usr/libexec/at-spi-bus-launcher --launch-immediately",
      "org.a11y.Bus");
}

AccessibilityBus::~AccessibilityBus() {
  bus_.reset();
}

}  // namespace brindlet::testsupport
