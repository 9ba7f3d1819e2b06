#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include <boost/asio/awaitable.hpp>

#include "protocol/SampleBufferBuilder.h"
#include "runtime/Bytes.h"
#include "streaming/PixelBuffer.h"

namespace brindlet::streaming {

// The settings an encoder asks of its compression session, one at a time.
enum class CompressionProperty {
  realTime,
  profileLevel,
  allowFrameReordering,
  maxKeyFrameInterval,
  maxKeyFrameIntervalDuration,
  expectedFrameRate,
  averageBitRate,
  dataRateLimits,
};

// "RealTime", "ProfileLevel", ... "DataRateLimits": the key's text in logs and errors.
std::string_view keyText(CompressionProperty key);

// The H.264 High and HEVC Main profiles, each at the level the session picks.
inline constexpr std::string_view kH264HighAutoLevel = "H264_High_AutoLevel";
inline constexpr std::string_view kHEVCMainAutoLevel = "HEVC_Main_AutoLevel";

// A flag, a whole number, a number, a word or a list of numbers ([bytes, seconds] for the
// data-rate limit).
using PropertyValue = std::variant<bool, std::int64_t, double, std::string, std::vector<double>>;

// One compressed access unit as the session hands it out.
struct CompressedSample {
  runtime::Bytes data;  // NAL units behind 4-byte big-endian lengths
  // The stream's format, holding its parameter sets; absent when the session has none.
  std::shared_ptr<const protocol::VideoFormat> format;
  // Whether decoding cannot start here; absent when the session says nothing about it.
  std::optional<bool> notSync;
  protocol::MediaTime presentationTime;
};

// Receives each frame's outcome on the session's own thread: status 0 and the sample, or the
// failure's status (or 0 for a frame the session dropped) and no sample.
using SessionOutput =
    std::function<void(std::int32_t status, std::optional<CompressedSample> sample)>;

// A platform video compressor for one stream. Statuses are 0 for success, else the platform's
// own code.
class CompressionSession {
 public:
  virtual ~CompressionSession() = default;

  virtual std::int32_t setProperty(CompressionProperty key, const PropertyValue& value) = 0;
  // Readies the session for frames once its properties are set.
  virtual std::int32_t prepare() = 0;
  // Queues one frame, shown for `duration` from `time`; never runs the output itself and never
  // waits for the compressor.
  virtual std::int32_t encode(SharedPixelBuffer buffer, protocol::MediaTime time,
                              protocol::MediaTime duration, bool forceKeyframe) = 0;
  // Completes when the outputs of every frame queued so far have run; resumes on the caller's
  // executor.
  virtual boost::asio::awaitable<void> completeFrames() = 0;
};

struct SessionRequest {
  protocol::Codec codec = protocol::Codec::h264;
  std::int32_t width = 0;
  std::int32_t height = 0;
};

// A made session, or the status why none was made.
struct SessionCreation {
  std::int32_t status = 0;
  std::unique_ptr<CompressionSession> session;
};

using CompressionSessionFactory =
    std::function<SessionCreation(const SessionRequest& request, SessionOutput output)>;

}  // namespace brindlet::streaming
