// Feeds arbitrary bytes to the usbmuxd message decoder, raw and behind a header that fits them:
// every input must end in a message or a TransportError, never in a crash or another exception.

#include <cstddef>
#include <cstdint>

#include "FuzzSeeds.h"
#include "transport/TransportError.h"
#include "transport/USBMuxMessage.h"

namespace {

const char* const kSeeds[] = {
    "<?xml version=\"1.0\"?><plist version=\"1.0\"><dict><key>MessageType</key><string>Result"
    "</string><key>Number</key><integer>0</integer></dict></plist>",
    "<?xml version=\"1.0\"?><plist version=\"1.0\"><dict><key>MessageType</key><string>Attached"
    "</string><key>DeviceID</key><integer>4</integer><key>Properties</key><dict><key>SerialNumber"
    "</key><string>abc</string><key>ConnectionType</key><string>USB</string></dict></dict></plist>",
    "<?xml version=\"1.0\"?><plist version=\"1.0\"><dict><key>MessageType</key><string>Detached"
    "</string><key>DeviceID</key><integer>4</integer></dict></plist>",
    "<?xml version=\"1.0\"?><plist version=\"1.0\"><dict><key>DeviceList</key><array><dict><key>"
    "DeviceID</key><integer>1</integer></dict><string>x</string></array></dict></plist>",
    "<?xml version=\"1.0\"?><plist version=\"1.0\"><dict><key>MessageType</key><string>Connect"
    "</string><key>DeviceID</key><integer>2</integer><key>PortNumber</key><integer>10275</integer>"
    "</dict></plist>",
    "bplist00",
};

void decode(brindlet::runtime::ByteView message) {
  try {
    const auto decoded = brindlet::transport::USBMuxWire::decode(message);
    (void)decoded.text();
  } catch (const brindlet::transport::TransportError&) {
  }
}

}  // namespace

BRINDLET_FUZZ_SEEDS(kSeeds)

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  decode(brindlet::runtime::ByteView(data, size));
  brindlet::runtime::Bytes framed(16, 0);
  framed[0] = std::uint8_t(size + 16);
  framed.insert(framed.end(), data, data + size);
  decode(framed);
  return 0;
}
