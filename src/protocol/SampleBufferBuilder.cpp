#include "protocol/SampleBufferBuilder.h"

#include <cmath>
#include <limits>

#include "protocol/AnnexB.h"

namespace brindlet::protocol {

using runtime::Bytes;
using runtime::ByteView;

namespace {

// Every sample lasts one frame at 60 per second, whatever the stream's real rate.
constexpr MediaTime kSampleDuration{1, 60};
constexpr std::int32_t kPresentationTimescale = 600;

bool isParameterSetUnit(Codec codec, std::uint8_t firstByte) {
  return NALType::classify(codec, firstByte).isParameterSet();
}

// False for no units, for a unit with the forbidden top bit, and for units without a picture.
// An H.264 unit of type 0 (unspecified) is neither a picture nor an error.
bool holdsPicture(Codec codec, const std::vector<ByteView>& units) {
  bool picture = false;
  for (ByteView unit : units) {
    if (unit.empty() || (unit[0] & 0x80) != 0) return false;
    if (codec == Codec::h264 && (unit[0] & 0x1F) == 0) continue;
    picture = picture || SampleBufferBuilder::isVCL(codec, unit[0]);
  }
  return picture;
}

}  // namespace

MediaTime MediaTime::fromSeconds(double seconds, std::int32_t timescale) {
  if (timescale <= 0 || !std::isfinite(seconds)) return invalid();
  const double steps = std::round(seconds * timescale);
  // 2^63 is exactly representable; anything at or beyond it would not convert.
  constexpr double limit = 9223372036854775808.0;
  if (!(steps < limit && steps >= -limit)) return invalid();
  return {static_cast<std::int64_t>(steps), timescale};
}

SampleBufferBuilder::SampleBufferBuilder(Codec codec,
                                         std::shared_ptr<const FormatValidator> validator)
    : codec_(codec), validator_(std::move(validator)) {}

bool SampleBufferBuilder::isVCL(Codec codec, std::uint8_t firstByte) {
  if (codec == Codec::hevc) return firstByte < 0x40;
  const std::uint8_t type = firstByte & 0x1F;
  return type >= 1 && type <= 5;
}

std::shared_ptr<const VideoFormat> SampleBufferBuilder::makeFormat(
    const FormatValidator& validator, Codec codec, std::vector<Bytes> parameterSets) {
  const std::int32_t status = validator.validate(codec, parameterSets);
  if (status != 0) throw BuildError::badParameterSets(status);
  return std::make_shared<const VideoFormat>(VideoFormat{codec, std::move(parameterSets), 4});
}

SampleBuffer SampleBufferBuilder::makeSampleBuffer(ByteView accessUnit, double presentationTime) {
  const std::vector<ByteView> units = AnnexB::splitNALUnitViews(accessUnit);
  if (!holdsPicture(codec_, units)) throw BuildError::malformed();

  std::vector<Bytes> parameterSets;
  std::vector<ByteView> rest;
  rest.reserve(units.size());
  for (ByteView unit : units) {
    if (isParameterSetUnit(codec_, unit[0])) {
      parameterSets.emplace_back(unit.begin(), unit.end());
    } else {
      rest.push_back(unit);
    }
  }
  if (!parameterSets.empty()) format_ = makeFormat(*validator_, codec_, std::move(parameterSets));
  if (!format_) throw BuildError::noFormatYet();

  return SampleBuffer{format_, AnnexB::lengthPrefixed(rest),
                      MediaTime::fromSeconds(presentationTime, kPresentationTimescale),
                      kSampleDuration, MediaTime::invalid()};
}

SampleBufferBuilder::BuildError::BuildError(Case c, std::int32_t status)
    : runtime::Error([&]() -> std::string {
        switch (c) {
          case Case::badParameterSets:
            return runtime::ErrorText("badParameterSets").number("", status);
          case Case::blockBuffer:
            return runtime::ErrorText("blockBuffer").number("", status);
          case Case::sampleBuffer:
            return runtime::ErrorText("sampleBuffer").number("", status);
          case Case::malformed:
            return "malformed";
          case Case::noFormatYet:
            return "noFormatYet";
        }
        return {};
      }()),
      case_(c),
      status_(status) {}

SampleBufferBuilder::BuildError SampleBufferBuilder::BuildError::badParameterSets(
    std::int32_t status) {
  return BuildError(Case::badParameterSets, status);
}
SampleBufferBuilder::BuildError SampleBufferBuilder::BuildError::blockBuffer(std::int32_t status) {
  return BuildError(Case::blockBuffer, status);
}
SampleBufferBuilder::BuildError SampleBufferBuilder::BuildError::sampleBuffer(std::int32_t status) {
  return BuildError(Case::sampleBuffer, status);
}
SampleBufferBuilder::BuildError SampleBufferBuilder::BuildError::malformed() {
  return BuildError(Case::malformed, 0);
}
SampleBufferBuilder::BuildError SampleBufferBuilder::BuildError::noFormatYet() {
  return BuildError(Case::noFormatYet, 0);
}

}  // namespace brindlet::protocol
