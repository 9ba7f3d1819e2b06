#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <set>
#include <span>
#include <string_view>
#include <vector>

#include "protocol/ProtocolError.h"
#include "runtime/BufferPool.h"
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

  friend bool operator==(const Frame&, const Frame&) = default;
};

// A frame to send whose payload sits in a pool buffer with room in front for the header: the
// header is written there, and header and payload go out as one piece without a copy.
struct PooledFrame {
  Channel channel;
  FrameFlags flags;
  runtime::PooledBytes payload;
};

// Cuts one connection's received byte stream into frames, copying every received byte once:
// whole frames straight out of the pushed bytes and, once a header is read, the payload into
// the frame's own buffer, which a reader may also fill directly (payloadSpace, then commit).
// Only the bytes of an unfinished header are kept aside.
struct FrameParser {
  // Declared payloads above this are refused as oversized (never above maxFramePayload).
  std::int64_t maxPayload = DeckProtocol::maxFramePayload;
  runtime::Bytes header;         // the bytes of a header not yet whole, or of a refused one
  std::optional<Frame> partial;  // the frame whose payload is arriving
  std::size_t filled = 0;        // bytes of the partial frame's payload received so far

  // Every frame the bytes complete, in stream order, but no more than maxFrames: `consumed`
  // then tells how many of the bytes were taken. A bad header throws at once, returning no
  // frame of this push; it stays in place, so every later push throws the same.
  std::vector<Frame> push(runtime::ByteView bytes, std::size_t maxFrames = SIZE_MAX);
  std::size_t consumed = 0;
  // The part of the arriving frame's payload not received yet; empty between frames.
  std::span<std::uint8_t> payloadSpace();
  // Records n bytes written to the front of payloadSpace(); the frame once it is whole.
  std::optional<Frame> commit(std::size_t n);

 private:
  void begin(runtime::ByteView headerBytes);
};

}  // namespace brindlet::protocol
