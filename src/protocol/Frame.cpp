#include "protocol/Frame.h"

#include <cstring>

#include "protocol/ControlEnvelope.h"

namespace brindlet::protocol {

const std::set<std::int64_t>& DeckProtocol::supportedVersions() {
  static const std::set<std::int64_t> versions{1};
  return versions;
}

std::optional<Channel> channelFromRaw(std::uint8_t byte) {
  if (byte >= 1 && byte <= 3) return static_cast<Channel>(byte);
  return std::nullopt;
}

std::string_view wordOf(Channel channel) {
  switch (channel) {
    case Channel::control:
      return "control";
    case Channel::video:
      return "video";
    case Channel::audio:
      return "audio";
  }
  return "unknown";
}

FrameHeader FrameHeader::decode(runtime::ByteView bytes) {
  if (bytes.size() < size) throw ProtocolError::truncated(size, std::int64_t(bytes.size()));
  const auto channel = channelFromRaw(bytes[0]);
  if (!channel) throw ProtocolError::unknownChannel(bytes[0]);
  const std::int64_t length = (std::int64_t(bytes[2]) << 24) | (std::int64_t(bytes[3]) << 16) |
                              (std::int64_t(bytes[4]) << 8) | std::int64_t(bytes[5]);
  if (length > DeckProtocol::maxFramePayload) throw ProtocolError::oversized(length);
  return FrameHeader{*channel, FrameFlags{bytes[1]}, length};
}

void Frame::encodeHeader(Channel channel, FrameFlags flags, std::size_t length, std::uint8_t* out) {
  out[0] = static_cast<std::uint8_t>(channel);
  out[1] = flags.rawValue;
  out[2] = static_cast<std::uint8_t>(length >> 24);
  out[3] = static_cast<std::uint8_t>(length >> 16);
  out[4] = static_cast<std::uint8_t>(length >> 8);
  out[5] = static_cast<std::uint8_t>(length);
}

runtime::Bytes Frame::encoded() const {
  const std::size_t n = payload.size();
  if (std::int64_t(n) > DeckProtocol::maxFramePayload)
    throw ProtocolError::oversized(std::int64_t(n));
  runtime::Bytes out;
  out.reserve(FrameHeader::size + n);
  out.resize(FrameHeader::size);
  encodeHeader(channel, flags, n, out.data());
  out.insert(out.end(), payload.begin(), payload.end());
  return out;
}

Frame Frame::decode(runtime::ByteView bytes) {
  const FrameHeader header = FrameHeader::decode(bytes);
  const std::int64_t total = std::int64_t(FrameHeader::size) + header.length;
  const auto available = std::int64_t(bytes.size());
  if (available < total) throw ProtocolError::truncated(total, available);
  if (available > total) throw ProtocolError::trailingBytes(available - total);
  return Frame{header.channel, header.flags,
               runtime::Bytes(bytes.begin() + FrameHeader::size, bytes.end())};
}

Frame Frame::control(const ControlEnvelope& envelope) {
  const std::string json = envelope.encodedJSON();
  return Frame{Channel::control, FrameFlags{}, runtime::Bytes(json.begin(), json.end())};
}

ControlEnvelope Frame::controlEnvelope() const {
  if (channel != Channel::control) throw ProtocolError::notControl(channel);
  return ControlEnvelope::decode(runtime::asText(payload));
}

std::vector<Frame> FrameParser::push(runtime::ByteView bytes) {
  buffer.insert(buffer.end(), bytes.begin(), bytes.end());
  std::vector<Frame> frames;
  for (;;) {
    const std::size_t unread = buffer.size() - readIndex;
    if (unread < FrameHeader::size) break;
    const FrameHeader header =
        FrameHeader::decode(runtime::ByteView(buffer.data() + readIndex, FrameHeader::size));
    const std::size_t total = FrameHeader::size + std::size_t(header.length);
    if (unread < total) break;
    const auto* start = buffer.data() + readIndex + FrameHeader::size;
    frames.push_back(
        Frame{header.channel, header.flags, runtime::Bytes(start, start + header.length)});
    readIndex += total;
  }
  if (readIndex == buffer.size()) {
    buffer.clear();
    readIndex = 0;
  } else if (readIndex > compactionThreshold && readIndex > buffer.size() / 2) {
    buffer.erase(buffer.begin(), buffer.begin() + std::ptrdiff_t(readIndex));
    readIndex = 0;
  }
  return frames;
}

}  // namespace brindlet::protocol
