#include "streaming/VideoEncoder.h"

#include <algorithm>
#include <string>

#include "protocol/AnnexB.h"
#include "runtime/Log.h"

namespace brindlet::streaming {

using protocol::Codec;
using protocol::MediaTime;

namespace {

const runtime::Logger& logger() {
  static const runtime::Logger log("capture");
  return log;
}

// Runs on the session's thread: touches nothing of the encoder, so it may outlive it.
void deliver(Codec codec, const VideoEncoding::Output& output, std::int32_t status,
             std::optional<CompressedSample> sample) {
  if (status != 0 || !sample) {
    logger().error("Encode callback failed: %d", status);
    return;
  }
  auto frame = VideoEncoder::convert(codec, *sample);
  if (!frame) {
    logger().error("Encoder produced a packet that could not be converted");
    return;
  }
  output(std::move(*frame));
}

}  // namespace

std::string_view keyText(CompressionProperty key) {
  switch (key) {
    case CompressionProperty::realTime:
      return "RealTime";
    case CompressionProperty::profileLevel:
      return "ProfileLevel";
    case CompressionProperty::allowFrameReordering:
      return "AllowFrameReordering";
    case CompressionProperty::maxKeyFrameInterval:
      return "MaxKeyFrameInterval";
    case CompressionProperty::maxKeyFrameIntervalDuration:
      return "MaxKeyFrameIntervalDuration";
    case CompressionProperty::expectedFrameRate:
      return "ExpectedFrameRate";
    case CompressionProperty::averageBitRate:
      return "AverageBitRate";
    case CompressionProperty::dataRateLimits:
      return "DataRateLimits";
  }
  return "";
}

VideoEncoder::VideoEncoder(EncoderSettings settings, Output output,
                           const CompressionSessionFactory& factory)
    : settings_(settings),
      // A rate below 1 would make a frame last forever and the session's time base zero.
      frameRate_(std::max(settings.frameRate, 1)),
      quality_(settings.quality) {
  const Codec codec = settings_.codec;
  SessionCreation created =
      factory({codec, settings_.width, settings_.height},
              [codec, output = std::move(output)](std::int32_t status,
                                                  std::optional<CompressedSample> sample) {
                deliver(codec, output, status, std::move(sample));
              });
  if (created.status != 0 || !created.session) {
    logger().error("Encoder session creation failed: %d", created.status);
    throw EncoderError::sessionCreation(created.status);
  }
  session_ = std::move(created.session);

  const bool hevc = codec == Codec::hevc;
  setProperty(CompressionProperty::realTime, true);
  setProperty(CompressionProperty::profileLevel,
              std::string(hevc ? kHEVCMainAutoLevel : kH264HighAutoLevel));
  setProperty(CompressionProperty::allowFrameReordering, false);
  setProperty(CompressionProperty::maxKeyFrameInterval,
              std::int64_t{settings_.maxKeyFrameInterval});
  setProperty(CompressionProperty::maxKeyFrameIntervalDuration,
              settings_.maxKeyFrameIntervalDuration);
  setProperty(CompressionProperty::expectedFrameRate, std::int64_t{frameRate_});
  applyBitRate(settings_.quality);

  // A session that can't ready itself would refuse every frame: that is a failed creation.
  if (const std::int32_t status = session_->prepare(); status != 0) {
    logger().error("Encoder session creation failed: %d", status);
    throw EncoderError::sessionCreation(status);
  }
}

VideoEncoder::~VideoEncoder() = default;

void VideoEncoder::encode(SharedPixelBuffer buffer, MediaTime time, bool forceKeyframe) {
  const std::int32_t status =
      session_->encode(std::move(buffer), time, MediaTime{1, frameRate_}, forceKeyframe);
  if (status != 0) {
    logger().error("Encoder frame submission failed: %d", status);
    throw EncoderError::encode(status);
  }
}

void VideoEncoder::setQuality(VideoQuality quality) {
  applyBitRate(quality);
  {
    std::lock_guard lock(mutex_);
    quality_ = quality;
  }
  logger().info("Encoder quality now %s", std::string(rawValue(quality)).c_str());
}

boost::asio::awaitable<void> VideoEncoder::completeFrames() {
  co_await session_->completeFrames();
}

VideoQuality VideoEncoder::quality() const {
  std::lock_guard lock(mutex_);
  return quality_;
}

std::vector<double> VideoEncoder::dataRateLimits(VideoQuality quality) {
  return {double(averageBitRate(quality)) / 8 * 1.5, 1.0};
}

void VideoEncoder::setProperty(CompressionProperty key, const PropertyValue& value) {
  const std::int32_t status = session_->setProperty(key, value);
  if (status == 0) return;
  const std::string text(keyText(key));
  logger().error("Setting %s failed: %d", text.c_str(), status);
  throw EncoderError::property(text, status);
}

void VideoEncoder::applyBitRate(VideoQuality quality) {
  setProperty(CompressionProperty::averageBitRate, std::int64_t{averageBitRate(quality)});
  setProperty(CompressionProperty::dataRateLimits, dataRateLimits(quality));
}

std::optional<EncodedFrame> VideoEncoder::convert(Codec codec, const CompressedSample& sample) {
  // The session's format must be of the stream's codec, or its parameter sets can't be read.
  if (!sample.format || sample.format->codec != codec) return std::nullopt;
  const auto units = protocol::AnnexB::nalUnitsLengthPrefixed(sample.data, 4);
  if (!units) return std::nullopt;
  EncodedFrame frame;
  frame.isKeyframe = !sample.notSync.value_or(false);
  // One buffer for the whole access unit: the parameter sets of a keyframe, then its units.
  std::vector<runtime::ByteView> all;
  if (frame.isKeyframe) {
    all.assign(sample.format->parameterSets.begin(), sample.format->parameterSets.end());
  }
  all.insert(all.end(), units->begin(), units->end());
  frame.data = protocol::AnnexB::join(all);
  const MediaTime time = sample.presentationTime;
  frame.time = time.isValid() ? double(time.value) / time.timescale : 0;
  return frame;
}

}  // namespace brindlet::streaming
