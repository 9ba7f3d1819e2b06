#include "protocol/Frame.h"

#include <algorithm>
#include <cstring>

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

void FrameParser::begin(runtime::ByteView headerBytes) {
  FrameHeader h;
  try {
    h = FrameHeader::decode(headerBytes);
    if (h.length > maxPayload) throw ProtocolError::oversized(h.length);
  } catch (const ProtocolError&) {
    header.assign(headerBytes.begin(), headerBytes.end());
    throw;
  }
  header.clear();
  partial = Frame{h.channel, h.flags, runtime::Bytes(std::size_t(h.length))};
  filled = 0;
}

std::vector<Frame> FrameParser::push(runtime::ByteView bytes) {
  std::vector<Frame> frames;
  for (;;) {
    if (partial) {
      const auto n = std::min(partial->payload.size() - filled, bytes.size());
      if (n > 0) std::memcpy(partial->payload.data() + filled, bytes.data(), n);
      bytes = bytes.subspan(n);
      if (auto frame = commit(n)) {
        frames.push_back(std::move(*frame));
        continue;
      }
      break;
    }
    if (header.empty() && bytes.size() >= FrameHeader::size) {
      begin(bytes.first(FrameHeader::size));
      bytes = bytes.subspan(FrameHeader::size);
      continue;
    }
    const auto n =
        std::min(FrameHeader::size - std::min(header.size(), FrameHeader::size), bytes.size());
    header.insert(header.end(), bytes.begin(), bytes.begin() + std::ptrdiff_t(n));
    bytes = bytes.subspan(n);
    if (header.size() < FrameHeader::size) break;
    const runtime::Bytes whole = std::move(header);
    begin(whole);
  }
  return frames;
}

std::span<std::uint8_t> FrameParser::payloadSpace() {
  if (!partial) return {};
  return std::span(partial->payload).subspan(filled);
}

std::optional<Frame> FrameParser::commit(std::size_t n) {
  filled += n;
  if (!partial || filled < partial->payload.size()) return std::nullopt;
  std::optional<Frame> frame = std::move(partial);
  partial.reset();
  filled = 0;
  return frame;
}

}  // namespace brindlet::protocol
