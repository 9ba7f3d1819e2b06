// Feeds arbitrary bytes to the frame parser and the envelope decoder: every input must end in a
// value or a ProtocolError with a UTF-8 text, never in a crash, a hang or another exception.

#include <cstddef>
#include <cstdint>

#include "protocol/ControlEnvelope.h"
#include "protocol/Frame.h"
#include "runtime/Unicode.h"

namespace {

// Error texts end up in logs and in front of people: whatever the input, they are UTF-8.
void checkText(const brindlet::protocol::ProtocolError& e) {
  if (!brindlet::runtime::isValidUTF8(e.text())) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace brindlet::protocol;
  const brindlet::runtime::ByteView bytes(data, size);
  try {
    const auto envelope = ControlEnvelope::decode(brindlet::runtime::asText(bytes));
    // Whatever decodes must write and read back as the same message.
    const auto again = ControlEnvelope::decode(envelope.encodedJSON());
    if (!(again.id == envelope.id && again.message.type() == envelope.message.type()))
      __builtin_trap();
  } catch (const ProtocolError& e) {
    checkText(e);
  }
  // The same bytes as a stream, split where the first byte says.
  FrameParser parser;
  const std::size_t split = size == 0 ? 0 : data[0] % (size + 1);
  try {
    parser.push(bytes.first(split));
    for (const auto& frame : parser.push(bytes.subspan(split))) {
      if (frame.channel == Channel::control) {
        try {
          ControlEnvelope::of(frame);
        } catch (const ProtocolError& e) {
          checkText(e);
        }
      }
    }
  } catch (const ProtocolError&) {
  }
  return 0;
}
