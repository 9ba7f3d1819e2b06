#include <gtest/gtest.h>

#include <random>

#include "protocol/Frame.h"

namespace brindlet::protocol {
namespace {

using runtime::Bytes;

Bytes header(std::uint8_t channel, std::uint8_t flags, std::uint32_t length) {
  return {channel,
          flags,
          std::uint8_t(length >> 24),
          std::uint8_t(length >> 16),
          std::uint8_t(length >> 8),
          std::uint8_t(length)};
}

Bytes concat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

template <class F>
ProtocolError thrown(F&& f) {
  try {
    f();
  } catch (const ProtocolError& e) {
    return e;
  }
  ADD_FAILURE() << "no ProtocolError";
  return ProtocolError::malformedControl("<none>");
}

TEST(FrameHeader, DecodeChecksInOrder) {
  struct Case {
    Bytes bytes;
    ProtocolError error;
  };
  const Case cases[] = {
      {{}, ProtocolError::truncated(6, 0)},
      {{9, 0, 0xFF}, ProtocolError::truncated(6, 3)},  // short wins over channel
      {header(0, 0, 1), ProtocolError::unknownChannel(0)},
      {header(255, 0, 0x7FFFFFFF), ProtocolError::unknownChannel(255)},  // channel wins over length
      {header(2, 0, 8388609), ProtocolError::oversized(8388609)},
      {header(1, 0, 0xFFFFFFFF), ProtocolError::oversized(4294967295)},
  };
  for (const auto& c : cases) EXPECT_EQ(thrown([&] { FrameHeader::decode(c.bytes); }), c.error);
}

TEST(FrameHeader, DecodesFieldsFromTheViewItIsGiven) {
  EXPECT_EQ(FrameHeader::decode(Bytes{2, 1, 0, 0, 1, 0}),
            (FrameHeader{Channel::video, FrameFlags::keyframe, 256}));
  // A slice at the end of a larger buffer is read from the slice's own start.
  const Bytes buffer = concat({header(1, 0, 5), header(2, 7, 9)});
  EXPECT_EQ(FrameHeader::decode(runtime::ByteView(buffer).subspan(6)),
            (FrameHeader{Channel::video, FrameFlags{7}, 9}));
}

TEST(Frame, DecodeWholeFrame) {
  struct Case {
    Bytes bytes;
    ProtocolError error;
  };
  const Case cases[] = {
      {{1, 0, 0}, ProtocolError::truncated(6, 3)},
      {concat({header(1, 0, 10), Bytes(4)}), ProtocolError::truncated(16, 10)},
      {concat({header(1, 0, 10), Bytes(12)}), ProtocolError::trailingBytes(2)},
  };
  for (const auto& c : cases) EXPECT_EQ(thrown([&] { Frame::decode(c.bytes); }), c.error);
  EXPECT_EQ(Frame::decode(concat({header(3, 0xFF, 2), Bytes{7, 8}})),
            (Frame{Channel::audio, FrameFlags{0xFF}, {7, 8}}));
}

TEST(Frame, EncodeLimitsAndRoundTrip) {
  EXPECT_EQ((Frame{Channel::video, FrameFlags{0xFF}, {1, 2, 3}}.encoded()),
            concat({header(2, 0xFF, 3), Bytes{1, 2, 3}}));

  Frame biggest{Channel::video, FrameFlags::keyframe, Bytes(8388608, 0xAB)};
  const Bytes wire = biggest.encoded();
  EXPECT_EQ(wire.size(), 8388614u);
  EXPECT_EQ(wire.capacity(), 8388614u);  // reserved once, never regrown
  EXPECT_EQ(Frame::decode(wire), biggest);
  FrameParser parser;
  auto frames = parser.push(wire);
  ASSERT_EQ(frames.size(), 1u);
  EXPECT_EQ(frames[0], biggest);

  Frame tooBig{Channel::video, {}, Bytes(8388609)};
  EXPECT_EQ(thrown([&] { tooBig.encoded(); }), ProtocolError::oversized(8388609));
}

// A stream of frames of assorted channels, flags and sizes, and the frames themselves.
std::pair<Bytes, std::vector<Frame>> sampleStream(unsigned seed, int count) {
  std::mt19937 rng(seed);
  std::vector<Frame> frames;
  Bytes stream;
  for (int i = 0; i < count; ++i) {
    Frame f{kAllChannels[rng() % 3], FrameFlags{std::uint8_t(rng())},
            Bytes(rng() % 3 == 0 ? 0 : rng() % 3000)};
    for (auto& byte : f.payload) byte = std::uint8_t(rng());
    const Bytes wire = f.encoded();
    stream.insert(stream.end(), wire.begin(), wire.end());
    frames.push_back(std::move(f));
  }
  return {stream, frames};
}

TEST(FrameParser, AnyChunkingYieldsTheSameFrames) {
  const auto [stream, expected] = sampleStream(7, 60);
  // Chunks of 5 and 7 cut headers and payloads everywhere; one chunk ends on every header.
  for (std::size_t chunk : {std::size_t(1), std::size_t(5), std::size_t(7), stream.size()}) {
    FrameParser parser;
    std::vector<Frame> got;
    for (std::size_t i = 0; i < stream.size(); i += chunk) {
      auto part = runtime::ByteView(stream).subspan(i, std::min(chunk, stream.size() - i));
      for (auto& f : parser.push(part)) got.push_back(std::move(f));
    }
    EXPECT_EQ(got, expected) << "chunk " << chunk;
    EXPECT_TRUE(parser.header.empty());
    EXPECT_FALSE(parser.partial);
  }
}

TEST(FrameParser, BadHeaderEndsThePushWithNoFrames) {
  const Bytes good = Frame{Channel::control, {}, {1}}.encoded();
  FrameParser parser;
  EXPECT_EQ(thrown([&] {
              parser.push(concat({good, header(9, 0, 0)}));
            }),
            ProtocolError::unknownChannel(9));
  EXPECT_EQ(parser.header, header(9, 0, 0));  // the refused header stays
  EXPECT_EQ(thrown([&] { parser.push({}); }), ProtocolError::unknownChannel(9));

  // An oversized declaration is refused before any of its payload arrives.
  FrameParser other;
  EXPECT_EQ(thrown([&] { other.push(header(2, 0, 8388609)); }), ProtocolError::oversized(8388609));
}

// A reader fills an announced payload in place; a lowered limit refuses larger declarations
// before a byte of their payload is taken.
TEST(FrameParser, PayloadsFillInPlaceWithinTheLimit) {
  struct Case {
    std::int64_t limit;
    std::uint32_t declared;
    std::optional<ProtocolError> refused;
  };
  const Case cases[] = {{65536, 65536, std::nullopt},
                        {65536, 65537, ProtocolError::oversized(65537)},
                        {8388608, 3000000, std::nullopt}};
  for (const auto& c : cases) {
    FrameParser parser;
    parser.maxPayload = c.limit;
    const Bytes head = header(2, 1, c.declared);
    if (c.refused) {
      EXPECT_EQ(thrown([&] { parser.push(head); }), *c.refused) << c.declared;
      EXPECT_TRUE(parser.payloadSpace().empty());
      continue;
    }
    EXPECT_TRUE(parser.push(concat({head, Bytes{7, 8}})).empty());
    auto space = parser.payloadSpace();
    ASSERT_EQ(space.size(), c.declared - 2u);
    std::fill(space.begin(), space.end() - 1, 9);
    EXPECT_FALSE(parser.commit(space.size() - 1));
    parser.payloadSpace()[0] = 5;
    auto frame = parser.commit(1);
    ASSERT_TRUE(frame);
    EXPECT_EQ(frame->payload.size(), c.declared);
    EXPECT_EQ(frame->payload[1], 8);
    EXPECT_EQ(frame->payload.back(), 5);
    EXPECT_TRUE(parser.payloadSpace().empty());
  }
}

}  // namespace
}  // namespace brindlet::protocol
