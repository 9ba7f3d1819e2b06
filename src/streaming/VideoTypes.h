#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "protocol/Enums.h"
#include "runtime/BufferPool.h"
#include "runtime/Bytes.h"
#include "runtime/Error.h"

namespace brindlet::streaming {

// The user's choice between picture and bandwidth; the session holds it, default balanced.
enum class VideoQuality { best, balanced, fast };

std::string_view rawValue(VideoQuality quality);
// Exactly "best", "balanced" or "fast".
std::optional<VideoQuality> videoQualityFrom(std::string_view text);
// The encoder's average bit rate, bits per second.
std::int64_t averageBitRate(VideoQuality quality);
// The pipeline's pacing rate: the average bit rate in bytes.
std::int64_t bytesPerSecond(VideoQuality quality);

// One stream's encoder settings. Only the quality changes while a stream runs.
struct EncoderSettings {
  protocol::Codec codec = protocol::Codec::h264;
  std::int32_t width = 0;
  std::int32_t height = 0;
  VideoQuality quality = VideoQuality::balanced;
  int frameRate = 60;
  int maxKeyFrameInterval = 120;
  double maxKeyFrameIntervalDuration = 2.0;

  friend bool operator==(const EncoderSettings&, const EncoderSettings&) = default;
};

// One access unit in Annex-B form, parameter sets first on a keyframe. The bytes sit in a pool
// buffer with room in front for the link's frame header, so they go out as they are.
struct EncodedFrame {
  // The room kept in front of the bytes: one frame header of the link.
  static constexpr std::size_t kHeadroom = 6;

  EncodedFrame() = default;
  EncodedFrame(runtime::PooledBytes data, bool isKeyframe, double time)
      : data(std::move(data)), isKeyframe(isKeyframe), time(time) {}
  // A copy of `bytes` in a buffer of its own.
  EncodedFrame(runtime::ByteView bytes, bool isKeyframe, double time)
      : EncodedFrame(runtime::PooledBytes::oneOff(bytes, kHeadroom), isKeyframe, time) {}

  runtime::PooledBytes data;
  bool isKeyframe = false;
  double time = 0;  // presentation time, seconds
};

// Why the encoder failed. Its text is its case and payload: "property(\"AverageBitRate\",
// -12902)"; statuses are libavcodec's (negative AVERROR codes).
class EncoderError : public runtime::Error {
 public:
  enum class Case { sessionCreation, property, encode, malformedOutput };

  static EncoderError sessionCreation(std::int32_t status);
  static EncoderError property(std::string key, std::int32_t status);
  static EncoderError encode(std::int32_t status);
  static EncoderError malformedOutput();

  Case kind() const { return case_; }
  std::int32_t status() const { return status_; }
  const std::string& key() const { return key_; }

  friend bool operator==(const EncoderError& a, const EncoderError& b) {
    return a.text() == b.text();
  }

 private:
  EncoderError(Case kind, std::string text) : runtime::Error(std::move(text)), case_(kind) {}

  Case case_;
  std::int32_t status_ = 0;
  std::string key_;
};

// Why capture could not start or stopped.
class CaptureError : public runtime::Error {
 public:
  enum class Case { displayNotFound, windowNotFound, notPermitted, streamFailed };

  static CaptureError displayNotFound(std::uint32_t id);
  static CaptureError windowNotFound(std::uint32_t id);
  static CaptureError notPermitted(std::string description);
  static CaptureError streamFailed(std::string description);

  Case kind() const { return case_; }
  std::uint32_t id() const { return id_; }
  const std::string& description() const { return description_; }

  friend bool operator==(const CaptureError& a, const CaptureError& b) {
    return a.text() == b.text();
  }

 private:
  CaptureError(Case kind, std::string text) : runtime::Error(std::move(text)), case_(kind) {}

  Case case_;
  std::uint32_t id_ = 0;
  std::string description_;
};

// A stream that failed, by the stage that failed: "encoder(sessionCreation(status: -1))".
class StreamError : public runtime::Error {
 public:
  static StreamError encoder(EncoderError error);
  static StreamError capture(CaptureError error);

  const std::optional<EncoderError>& encoderError() const { return encoder_; }
  const std::optional<CaptureError>& captureError() const { return capture_; }

  friend bool operator==(const StreamError& a, const StreamError& b) {
    return a.text() == b.text();
  }

 private:
  explicit StreamError(std::string text) : runtime::Error(std::move(text)) {}

  std::optional<EncoderError> encoder_;
  std::optional<CaptureError> capture_;
};

}  // namespace brindlet::streaming
