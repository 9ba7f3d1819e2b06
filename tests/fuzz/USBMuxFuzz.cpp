// Feeds arbitrary bytes to the usbmuxd message decoder, raw and behind a header that fits them:
// every input must end in a message or a TransportError, never in a crash or another exception.

#include <cstddef>
#include <cstdint>

#include "transport/TransportError.h"
#include "transport/USBMuxMessage.h"

namespace {

void decode(brindlet::runtime::ByteView message) {
  try {
    const auto decoded = brindlet::transport::USBMuxWire::decode(message);
    (void)decoded.text();
  } catch (const brindlet::transport::TransportError&) {
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  decode(brindlet::runtime::ByteView(data, size));
  brindlet::runtime::Bytes framed(16, 0);
  framed[0] = std::uint8_t(size + 16);
  framed.insert(framed.end(), data, data + size);
  decode(framed);
  return 0;
}
