#pragma once

// The computer's transport as tests run it against the scripted phone over loopback: no
// usbmuxd (its socket is a path that does not exist), no Wi-Fi, pairing keys in memory.

#include <memory>
#include <string>

#include "transport/HostTransport.h"
#include "transport/MemoryPairingStore.h"

namespace brindlet::testsupport {

inline transport::HostTransportSettings loopbackHostSettings(const std::string& missingUsbmuxd) {
  transport::HostTransportSettings settings;
  settings.localHello.proto = 1;
  settings.localHello.app = "1.0";
  settings.localHello.device = "computer";
  settings.localHello.name = "Computer";
  settings.localHello.uid = "MAC-1";
  settings.usbmux = transport::USBMuxClient{missingUsbmuxd, nullptr};
  settings.store = std::make_shared<transport::MemoryPairingStore>();
  settings.wifi = false;
  return settings;
}

}  // namespace brindlet::testsupport
