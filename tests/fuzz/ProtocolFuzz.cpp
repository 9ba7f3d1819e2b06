// Feeds arbitrary bytes to the frame parser and the envelope decoder: every input must end in a
// value or a ProtocolError, never in a crash, a hang or another exception.

#include <cstddef>
#include <cstdint>

#include "FuzzSeeds.h"
#include "protocol/ControlEnvelope.h"
#include "protocol/Frame.h"

namespace {

const char* const kSeeds[] = {
    R"({"id":7,"t":"ping","ts":12.5})",
    R"({"app":"0.0.0","caps":["hevc","pencil"],"device":"Mac","id":1,"name":"Mac","proto":1,"t":"hello"})",
    R"({"button":"left","id":9,"phase":"began","pointer":"finger","t":"touch","x":0.25,"y":0.5,"pressure":1})",
    R"({"id":30,"profile":"p1","states":{"k1":{"label":"On","ring":"good","lines":["a"]},"k2":{}},"t":"deckState"})",
    R"({"app":"a","appName":"A","id":2,"profile":{"a":[true,null,1.5,{"b":[]}]},"t":"deckProfile"})",
    R"({"h":844,"id":2,"mode":"deckOnly","orientation":"landscape","posture":"partiallyOpen","scale":3,"t":"pane","w":390})",
    R"({"agents":[{"canJump":true,"detail":"d","id":"a1","recent":[{"kind":"tool","text":"ls","time":1.5}],"request":{"canAlwaysAllow":false,"id":"r1","summary":"s","tool":"Bash"},"since":1.5,"state":"needsYou","title":"T","vendor":"v"}],"id":2,"t":"agentBoard"})",
    R"({"down":true,"id":2,"keyCode":65535,"mods":["cmd","shift"],"t":"key"})",
    R"({"id":2,"psk":"AAECAwQFBgcICQoLDA0ODxAREhMUFRYXGBkaGxwdHh8=","t":"pairOK"})",
};

}  // namespace

BRINDLET_FUZZ_SEEDS(kSeeds)

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace brindlet::protocol;
  const brindlet::runtime::ByteView bytes(data, size);
  try {
    const auto envelope = ControlEnvelope::decode(brindlet::runtime::asText(bytes));
    // Whatever decodes must write and read back as the same message.
    const auto again = ControlEnvelope::decode(envelope.encodedJSON());
    if (!(again.id == envelope.id && again.message.type() == envelope.message.type()))
      __builtin_trap();
  } catch (const ProtocolError&) {
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
        } catch (const ProtocolError&) {
        }
      }
    }
  } catch (const ProtocolError&) {
  }
  return 0;
}
