#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "protocol/Enums.h"
#include "runtime/Bytes.h"
#include "runtime/Error.h"

namespace brindlet::protocol {

// A point or span on a media timeline: value / timescale seconds. A timescale of 0 marks an
// invalid time (one that was never set, or could not be represented).
struct MediaTime {
  std::int64_t value = 0;
  std::int32_t timescale = 0;

  static constexpr MediaTime invalid() { return {}; }
  // The nearest whole number of 1/timescale steps; invalid when the seconds are not finite or the
  // steps don't fit the value.
  static MediaTime fromSeconds(double seconds, std::int32_t timescale);

  constexpr bool isValid() const { return timescale > 0; }
  friend constexpr bool operator==(const MediaTime&, const MediaTime&) = default;
};

// What a decoder needs to start a stream: its codec and parameter sets, without start codes and
// in stream order. Samples made with it hold units behind big-endian lengths of
// nalUnitHeaderLength bytes. Immutable once made; samples and builder copies share it.
struct VideoFormat {
  Codec codec;
  std::vector<runtime::Bytes> parameterSets;
  int nalUnitHeaderLength = 4;

  friend bool operator==(const VideoFormat&, const VideoFormat&) = default;
};

// One decodable sample: the units of one access unit behind 4-byte big-endian lengths, with
// its format and timing.
struct SampleBuffer {
  std::shared_ptr<const VideoFormat> format;
  runtime::Bytes data;
  MediaTime presentationTime;
  MediaTime duration;
  MediaTime decodeTime;  // invalid: samples are decoded in the order they arrive
};

// The platform's decoder, asked whether it can start from a set of parameter sets.
class FormatValidator {
 public:
  virtual ~FormatValidator() = default;
  // 0 when a decoder of this codec opens with these parameter sets (without start codes, in
  // stream order); otherwise the decoder's own non-zero status.
  virtual std::int32_t validate(Codec codec,
                                std::span<const runtime::Bytes> parameterSets) const = 0;
};

// Turns the payloads of one video stream (one Annex-B access unit each) into samples, keeping
// the format that the parameter sets in front of every keyframe describe. A plain value; the
// validator is shared by copies.
class SampleBufferBuilder {
 public:
  class BuildError;

  SampleBufferBuilder(Codec codec, std::shared_ptr<const FormatValidator> validator);

  Codec codec() const { return codec_; }
  // Absent until the first access unit with parameter sets that make a valid format.
  const std::shared_ptr<const VideoFormat>& format() const { return format_; }

  // Throws BuildError. Access units that carry parameter sets replace the format, even when the
  // sets are the same as before.
  SampleBuffer makeSampleBuffer(runtime::ByteView accessUnit, double presentationTime);
  // Throws BuildError::badParameterSets with the validator's status when it refuses them.
  static std::shared_ptr<const VideoFormat> makeFormat(const FormatValidator& validator,
                                                       Codec codec,
                                                       std::vector<runtime::Bytes> parameterSets);
  // Forgets the format: the next access unit must bring parameter sets again.
  void reset() { format_.reset(); }
  // Whether a unit with this first byte is part of a picture (the top bit is not looked at).
  static bool isVCL(Codec codec, std::uint8_t firstByte);

 private:
  Codec codec_;
  std::shared_ptr<const FormatValidator> validator_;
  std::shared_ptr<const VideoFormat> format_;
};

// Why an access unit gave no sample. Its text is "caseName(status)" or the bare case name.
class SampleBufferBuilder::BuildError : public runtime::Error {
 public:
  enum class Case { badParameterSets, blockBuffer, sampleBuffer, malformed, noFormatYet };

  // The decoder refused the parameter sets; carries its status.
  static BuildError badParameterSets(std::int32_t status);
  // Making or filling the sample's data failed, or making the sample itself did, with the
  // status of that step. Samples here are plain values that can't fail that way (short of
  // running out of memory), so this builder never throws these two; receivers may still name them.
  static BuildError blockBuffer(std::int32_t status);
  static BuildError sampleBuffer(std::int32_t status);
  // No picture, or a unit with a broken header.
  static BuildError malformed();
  // A picture before any parameter sets.
  static BuildError noFormatYet();

  Case kind() const { return case_; }
  std::int32_t status() const { return status_; }

  friend bool operator==(const BuildError& a, const BuildError& b) {
    return a.case_ == b.case_ && a.status_ == b.status_;
  }

 private:
  BuildError(Case c, std::int32_t status);

  Case case_;
  std::int32_t status_;
};

}  // namespace brindlet::protocol
