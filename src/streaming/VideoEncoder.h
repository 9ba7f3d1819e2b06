#pragma once

#include <memory>
#include <mutex>
#include <optional>

#include "streaming/CompressionSession.h"
#include "streaming/VideoEncoding.h"

namespace brindlet::streaming {

// One stream's encoder: a compression session tuned for low latency (real time, no frame
// reordering, a bounded keyframe interval, the bit rate of the user's quality) whose samples
// come out as Annex-B access units, parameter sets in front of every keyframe so that each
// keyframe decodes on its own.
class VideoEncoder final : public VideoEncoding {
 public:
  // Creates and tunes the session; throws EncoderError when it can't.
  VideoEncoder(EncoderSettings settings, Output output, const CompressionSessionFactory& factory);
  ~VideoEncoder() override;

  const EncoderSettings& settings() const override { return settings_; }
  void encode(SharedPixelBuffer buffer, protocol::MediaTime time, bool forceKeyframe) override;
  void setQuality(VideoQuality quality) override;
  boost::asio::awaitable<void> completeFrames() override;

  VideoQuality quality() const;

  // One sample as an access unit; nothing when it can't be converted.
  static std::optional<EncodedFrame> convert(protocol::Codec codec, const CompressedSample& sample);
  // The data-rate limit of a quality: [bytes, seconds].
  static std::vector<double> dataRateLimits(VideoQuality quality);

 private:
  void setProperty(CompressionProperty key, const PropertyValue& value);
  void applyBitRate(VideoQuality quality);

  EncoderSettings settings_;
  int frameRate_;  // the settings' rate, at least 1
  std::unique_ptr<CompressionSession> session_;
  mutable std::mutex mutex_;
  VideoQuality quality_;
};

}  // namespace brindlet::streaming
