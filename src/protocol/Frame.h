#pragma once

#include <cstdint>
#include <optional>
#include <set>
#include <string_view>
#include <vector>

#include "protocol/ProtocolError.h"
#include "runtime/Bytes.h"

namespace brindlet::protocol {

// Protocol constants.
namespace DeckProtocol {
inline constexpr std::int64_t version = 1;
const std::set<std::int64_t>& supportedVersions();        // {1}
inline constexpr std::int64_t maxFramePayload = 8388608;  // 8 MiB, inclusive
}  // namespace DeckProtocol

enum class Channel : std::uint8_t { control = 1, video = 2, audio = 3 };

std::optional<Channel> channelFromRaw(std::uint8_t byte);
std::string_view wordOf(Channel channel);
inline constexpr Channel kAllChannels[] = {Channel::control, Channel::video, Channel::audio};

// The flags byte. Only bit 0 has a name; the other bits travel unchanged and are never checked.
struct FrameFlags {
  std::uint8_t rawValue = 0;

  static const FrameFlags keyframe;

  constexpr bool contains(FrameFlags other) const {
    return (rawValue & other.rawValue) == other.rawValue;
  }
  constexpr bool empty() const { return rawValue == 0; }
  constexpr bool isDisjoint(FrameFlags other) const { return (rawValue & other.rawValue) == 0; }
  constexpr bool isSubset(FrameFlags other) const { return (rawValue & ~other.rawValue) == 0; }
  constexpr FrameFlags operator|(FrameFlags o) const {
    return {std::uint8_t(rawValue | o.rawValue)};
  }
  constexpr FrameFlags operator&(FrameFlags o) const {
    return {std::uint8_t(rawValue & o.rawValue)};
  }
  constexpr FrameFlags operator^(FrameFlags o) const {
    return {std::uint8_t(rawValue ^ o.rawValue)};
  }
  constexpr FrameFlags subtracting(FrameFlags o) const {
    return {std::uint8_t(rawValue & ~o.rawValue)};
  }
  constexpr void insert(FrameFlags o) { rawValue |= o.rawValue; }
  constexpr void remove(FrameFlags o) { rawValue &= std::uint8_t(~o.rawValue); }
  friend constexpr bool operator==(FrameFlags, FrameFlags) = default;
};
inline constexpr FrameFlags FrameFlags::keyframe{0x01};

struct FrameHeader {
  static constexpr std::size_t size = 6;

  Channel channel;
  FrameFlags flags;
  std::int64_t length;  // payload bytes, 0 to maxFramePayload once decoded

  // Reads the first six bytes of the view. Checks, in order: at least six bytes (truncated),
  // the channel byte (unknownChannel), the declared length (oversized).
  static FrameHeader decode(runtime::ByteView bytes);

  friend bool operator==(const FrameHeader&, const FrameHeader&) = default;
};

struct ControlEnvelope;

// One unit on a link: a 6-byte header (channel, flags, big-endian 32-bit length) and a payload.
struct Frame {
  Channel channel;
  FrameFlags flags;
  runtime::Bytes payload;

  // Header and payload in one buffer reserved at exactly 6 + payload bytes; a payload over
  // maxFramePayload is refused before anything is built.
  runtime::Bytes encoded() const;
  // Writes the header for a payload of this many bytes into out[0..6).
  static void encodeHeader(Channel channel, FrameFlags flags, std::size_t length,
                           std::uint8_t* out);

  // Decodes a buffer that holds exactly one frame.
  static Frame decode(runtime::ByteView bytes);

  // The control frame carrying one envelope, and the envelope a control frame carries.
  static Frame control(const ControlEnvelope& envelope);
  ControlEnvelope controlEnvelope() const;

  friend bool operator==(const Frame&, const Frame&) = default;
};

// Cuts one connection's received byte stream into frames. Consumed bytes are discarded only
// when everything received has been consumed, or when more than 1 MiB has been consumed and
// that is more than half the buffer, so the buffer is not shifted after every frame.
struct FrameParser {
  static constexpr std::size_t compactionThreshold = 1048576;

  runtime::Bytes buffer;
  std::size_t readIndex = 0;

  // Every frame the bytes complete, in stream order. A bad header throws at once, returning no
  // frame of this push and leaving the bytes in place.
  std::vector<Frame> push(runtime::ByteView bytes);
};

}  // namespace brindlet::protocol
