#include "protocol/SampleBufferBuilder.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "protocol/AnnexB.h"

namespace brindlet::protocol {
namespace {

using runtime::Bytes;
using Units = std::vector<Bytes>;
using BuildError = SampleBufferBuilder::BuildError;

// Answers with a set status and remembers every set of parameter sets it was asked about.
class FakeValidator : public FormatValidator {
 public:
  std::int32_t validate(Codec codec, std::span<const Bytes> parameterSets) const override {
    calls.push_back({codec, Units(parameterSets.begin(), parameterSets.end())});
    return status;
  }
  std::int32_t status = 0;
  mutable std::vector<std::pair<Codec, Units>> calls;
};

const Bytes kSps264{0x67, 0x42, 0xC0, 0x1E};
const Bytes kPps264{0x68, 0xCE, 0x3C, 0x80};
const Bytes kIdr264{0x65, 0x88, 0x84, 0x21};
const Bytes kSlice264{0x41, 0x9A, 0x02};
const Bytes kVps265{0x40, 0x01, 0x0C};
const Bytes kSps265{0x42, 0x01, 0x01};
const Bytes kPps265{0x44, 0x01, 0xC1};
const Bytes kCra265{0x2A, 0x01, 0xAF};
const Bytes kTrail265{0x02, 0x01, 0xD0};
const Bytes kSei265{0x4E, 0x01, 0x05};

Bytes annexB(const Units& units) {
  return AnnexB::join(units);
}

std::optional<BuildError> errorOf(SampleBufferBuilder& builder, const Bytes& payload) {
  try {
    builder.makeSampleBuffer(payload, 1.0);
  } catch (const BuildError& e) {
    return e;
  }
  return std::nullopt;
}

std::shared_ptr<FakeValidator> validatorWith(std::int32_t status) {
  auto v = std::make_shared<FakeValidator>();
  v->status = status;
  return v;
}

// Each case starts from a builder with or without a stored format and a validator answering
// `status`; which error wins is the order of the checks: picture and header check, parameter
// sets, then the stored format.
TEST(SampleBufferBuilder, RefusesAccessUnitsWithTheFirstErrorThatApplies) {
  struct Case {
    const char* name;
    Codec codec;
    bool formatStored;
    std::int32_t status;
    Bytes payload;
    BuildError error;
  };
  const Case cases[] = {
      {"empty payload", Codec::h264, true, 0, {}, BuildError::malformed()},
      {"no start code", Codec::h264, true, 0, {0x65, 0x88, 0x84}, BuildError::malformed()},
      {"only parameter sets", Codec::h264, true, 0, annexB({kSps264, kPps264}),
       BuildError::malformed()},
      {"only a type-0 unit", Codec::h264, true, 0, annexB({{0x00, 0x11}}), BuildError::malformed()},
      {"forbidden bit set, even beside refused parameter sets", Codec::h264, false, -22,
       annexB({kSps264, kPps264, {0xE5, 0x11}, kIdr264}), BuildError::malformed()},
      {"hevc parameter sets and SEI only", Codec::hevc, true, 0,
       annexB({kVps265, kSps265, kPps265, kSei265}), BuildError::malformed()},
      {"refused parameter sets win over no format", Codec::h264, false, -1094995529,
       annexB({kSps264, kPps264, kIdr264}), BuildError::badParameterSets(-1094995529)},
      {"refused parameter sets with a format stored", Codec::hevc, true, -22,
       annexB({kVps265, kSps265, kPps265, kCra265}), BuildError::badParameterSets(-22)},
      {"picture before any parameter set", Codec::h264, false, 0, annexB({kSlice264}),
       BuildError::noFormatYet()},
  };
  for (const auto& c : cases) {
    auto validator = validatorWith(0);
    SampleBufferBuilder builder(c.codec, validator);
    if (c.formatStored) {
      const Units sets =
          c.codec == Codec::h264 ? Units{kSps264, kPps264} : Units{kVps265, kSps265, kPps265};
      const Bytes& picture = c.codec == Codec::h264 ? kIdr264 : kCra265;
      Units keyframe = sets;
      keyframe.push_back(picture);
      builder.makeSampleBuffer(annexB(keyframe), 0);
    }
    const auto before = builder.format();
    validator->status = c.status;
    const auto error = errorOf(builder, c.payload);
    EXPECT_EQ(error, c.error) << c.name << ": " << (error ? error->text() : "no error");
    EXPECT_EQ(builder.format(), before) << c.name << ": a failure must keep the format";
  }
}

// The ffmpeg peer test shows real streams' samples and formats decode; here the validator's
// part, the times and the format a later picture shares.
TEST(SampleBufferBuilder, KeyframeStoresFormatAndLaterPicturesUseIt) {
  auto validator = validatorWith(0);
  SampleBufferBuilder builder(Codec::h264, validator);
  const SampleBuffer key = builder.makeSampleBuffer(annexB({kSps264, kPps264, kIdr264}), 2.5);
  const SampleBuffer next = builder.makeSampleBuffer(annexB({kSlice264}), 2.5 + 1.0 / 30);
  EXPECT_EQ(validator->calls,
            (std::vector<std::pair<Codec, Units>>{{Codec::h264, {kSps264, kPps264}}}));
  EXPECT_EQ(*builder.format(), (VideoFormat{Codec::h264, {kSps264, kPps264}, 4}));
  EXPECT_EQ(next.data, AnnexB::lengthPrefixed(Units{kSlice264}));
  EXPECT_EQ(next.format, key.format);
  EXPECT_EQ(next.duration, (MediaTime{1, 60}));
  EXPECT_FALSE(next.decodeTime.isValid());
  EXPECT_EQ(key.presentationTime, (MediaTime{1500, 600}));
  EXPECT_EQ(next.presentationTime, (MediaTime{1520, 600}));
}

TEST(SampleBufferBuilder, ResetForgetsTheFormat) {
  SampleBufferBuilder builder(Codec::h264, validatorWith(0));
  builder.makeSampleBuffer(annexB({kSps264, kPps264, kIdr264}), 0);
  builder.reset();
  EXPECT_EQ(builder.format(), nullptr);
  EXPECT_EQ(errorOf(builder, annexB({kSlice264})), BuildError::noFormatYet());
}

TEST(SampleBufferBuilder, PictureUnits) {
  struct Case {
    Codec codec;
    std::uint8_t byte;
    bool picture;
  };
  const Case cases[] = {
      {Codec::h264, 0x00, false}, {Codec::h264, 0x01, true}, {Codec::h264, 0xE1, true},
      {Codec::h264, 0x06, false}, {Codec::hevc, 0x3F, true}, {Codec::hevc, 0x40, false},
      {Codec::hevc, 0x80, false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(SampleBufferBuilder::isVCL(c.codec, c.byte), c.picture)
        << wordOf(c.codec) << " " << int(c.byte);
  }
}

TEST(MediaTime, FromSeconds) {
  constexpr double inf = std::numeric_limits<double>::infinity();
  struct Case {
    double seconds;
    MediaTime time;
  };
  const Case cases[] = {
      {0, {0, 600}},
      {-0.5, {-300, 600}},
      {1.0 / 600 * 0.6, {1, 600}},  // nearest step
      {std::nan(""), MediaTime::invalid()},
      {inf, MediaTime::invalid()},
      {1e300, MediaTime::invalid()},
      {9223372036854775807.0 / 600, MediaTime::invalid()},
  };
  for (const auto& c : cases)
    EXPECT_EQ(MediaTime::fromSeconds(c.seconds, 600), c.time) << c.seconds;
}

}  // namespace
}  // namespace brindlet::protocol
