// The USB road of the host transport: the usbmuxd watcher and its per-device dial tasks plug in
// here. Until it is built the watcher task has nothing to watch.

#include "transport/HostTransport.h"

namespace brindlet::transport {

runtime::TaskHandle HostTransport::watchUsb() {
  return runtime::TaskHandle();
}

}  // namespace brindlet::transport
