#pragma once

#include <memory>
#include <string>

#include "support/ChildProcess.h"

namespace brindlet::testsupport {

// The scripted phone, taking loopback connections as USB, behind a stand-in usbmuxd
// (usbmux-loopback) on a socket in a folder that lists it as the one device. Both come from the
// build folder `build`. The app reaches the phone through `environment()`.
struct UsbPhone {
  std::unique_ptr<ChildProcess> phone;
  std::unique_ptr<ChildProcess> usbmuxd;
  std::string socket;

  // USBMUXD_SOCKET_ADDRESS=UNIX:<socket>, as env takes it.
  std::string environment() const { return "USBMUXD_SOCKET_ADDRESS=UNIX:" + socket; }
};

// Starts both, the phone named `name` listening on `port` and `port + 1` (its TLS listener), or
// on ports of the system's choosing for 0, writing the video it receives to `videoOut` if given;
// throws when either does not come up within 10 s.
UsbPhone startUsbPhone(const std::string& build, const std::string& folder, int port = 0,
                       const std::string& name = "Test Phone", const std::string& videoOut = "");

}  // namespace brindlet::testsupport
