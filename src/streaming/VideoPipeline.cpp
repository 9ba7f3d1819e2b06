#include "streaming/VideoPipeline.h"

#include <algorithm>
#include <utility>

#include "runtime/Log.h"

namespace brindlet::streaming {

namespace {

const runtime::Logger& logger() {
  return runtime::Logger::of("capture");
}

double seconds(protocol::MediaTime time) {
  return time.isValid() ? double(time.value) / double(time.timescale) : 0.0;
}

}  // namespace

// The pacing state behind the state lock, which is held for a few integer steps only; the sink's
// own lock may be taken inside it, never the other way round.
struct VideoPipeline::Shared {
  mutable std::mutex mutex;
  Stats stats;
  bool needsKeyframe = true;
  bool congested = false;
  std::int64_t limit = 0;
  std::int64_t keyframeAllowance = 0;  // the size of the last keyframe sent
  bool hasPending = false;

  // The encoder's output, on its thread. Keyframes always go out; a delta goes out only while
  // the link can take it, else the next captured frame becomes a keyframe. A keyframe's size
  // raises the threshold only once the link has taken it: one it refused never reaches the
  // phone, and its size would keep the threshold high for the rest of the stream.
  void handleEncoded(EncodedFrame frame, VideoSink& sink) {
    const bool keyframe = frame.isKeyframe;
    const auto size = std::int64_t(frame.data.size());
    std::int64_t previousAllowance = 0;
    {
      std::lock_guard lock(mutex);
      if (frame.data.isOneOff()) stats.oneOffBuffers += 1;
      if (keyframe) {
        stats.encoded += 1;
        stats.keyframes += 1;
        previousAllowance = std::exchange(keyframeAllowance, size);
      } else if (sink.outstanding() > limit + keyframeAllowance) {
        stats.dropped += 1;
        needsKeyframe = true;
        return;
      } else {
        stats.encoded += 1;
      }
    }
    if (sink.send(std::move(frame)) || !keyframe) return;
    std::lock_guard lock(mutex);
    if (keyframeAllowance == size) keyframeAllowance = previousAllowance;
  }
};

std::int64_t VideoPipeline::limitFor(VideoQuality quality, int frameRate) {
  return 2 * (bytesPerSecond(quality) / std::max(frameRate, 1));
}

std::shared_ptr<VideoPipeline> VideoPipeline::make(const EncoderSettings& settings,
                                                   std::shared_ptr<VideoSink> sink,
                                                   const VideoEncoderFactory& makeEncoder) {
  auto shared = std::make_shared<Shared>();
  shared->limit = limitFor(settings.quality, settings.frameRate);
  std::shared_ptr<VideoPipeline> pipeline(new VideoPipeline(sink, shared));
  // The output handler holds the state and the sink, never the pipeline: the pipeline owns the
  // encoder, which owns the handler.
  pipeline->encoder_ = makeEncoder(settings, [shared, sink](EncodedFrame frame) {
    shared->handleEncoded(std::move(frame), *sink);
  });
  std::weak_ptr<VideoPipeline> weak = pipeline;
  sink->setDrained([weak] {
    if (auto self = weak.lock()) self->onDrained();
  });
  return pipeline;
}

VideoPipeline::VideoPipeline(std::shared_ptr<VideoSink> sink, std::shared_ptr<Shared> shared)
    : sink_(std::move(sink)), shared_(std::move(shared)) {}

VideoPipeline::~VideoPipeline() = default;

void VideoPipeline::submit(SharedPixelBuffer buffer, protocol::MediaTime time) {
  bool admitted, first = false, force = false;
  std::int64_t outstanding, threshold;
  {
    std::lock_guard encoding(encoding_);
    outstanding = sink_->outstanding();
    {
      std::lock_guard lock(shared_->mutex);
      threshold = shared_->limit + shared_->keyframeAllowance;
      admitted = outstanding <= threshold;
      if (admitted) {
        shared_->hasPending = false;
        force = std::exchange(shared_->needsKeyframe, false);
        shared_->congested = false;
      } else {
        shared_->stats.dropped += 1;
        first = !std::exchange(shared_->congested, true);
        shared_->needsKeyframe = true;
        shared_->hasPending = true;
      }
    }
    if (admitted) {
      pending_.reset();
      encode(std::move(buffer), time, force);
    } else {
      pending_ = Pending{std::move(buffer), time};
    }
  }
  // Logged once the locks are released; the capture thread writes its lines in order all the
  // same.
  if (admitted) return;
  if (first) {
    logger().info("Sink congested (%ld bytes outstanding, limit %ld); dropping frames",
                  long(outstanding), long(threshold));
  }
  logger().debug("Dropped frame at %f", seconds(time));
}

void VideoPipeline::encode(SharedPixelBuffer buffer, protocol::MediaTime time, bool force) {
  try {
    encoder_->encode(std::move(buffer), time, force);
  } catch (const EncoderError&) {
    // The encoder has logged why.
    std::lock_guard lock(shared_->mutex);
    shared_->stats.dropped += 1;
    shared_->needsKeyframe = true;
  }
}

void VideoPipeline::onDrained() {
  {
    std::lock_guard encoding(encoding_);
    {
      std::lock_guard lock(shared_->mutex);
      if (!shared_->hasPending) return;
      shared_->hasPending = false;
      shared_->needsKeyframe = false;
      shared_->congested = false;
    }
    if (!pending_) return;
    auto frame = std::exchange(pending_, std::nullopt);
    encode(std::move(frame->buffer), frame->time, true);
  }
  logger().info("Sink drained; sending the last dropped frame as a keyframe");
}

void VideoPipeline::setQuality(VideoQuality quality) {
  encoder_->setQuality(quality);
  const auto limit = limitFor(quality, encoder_->settings().frameRate);
  std::lock_guard lock(shared_->mutex);
  shared_->limit = limit;
}

boost::asio::awaitable<void> VideoPipeline::flush() {
  auto self = shared_from_this();
  {
    std::lock_guard encoding(encoding_);
    pending_.reset();
    std::lock_guard lock(shared_->mutex);
    shared_->hasPending = false;
  }
  co_await encoder_->completeFrames();
}

void VideoPipeline::requestKeyframe() {
  {
    std::lock_guard lock(shared_->mutex);
    shared_->needsKeyframe = true;
  }
  if (keyframeRequested_) keyframeRequested_();
}

void VideoPipeline::onKeyframeRequest(std::function<void()> handler) {
  keyframeRequested_ = std::move(handler);
}

VideoPipeline::Stats VideoPipeline::stats() const {
  std::lock_guard lock(shared_->mutex);
  return shared_->stats;
}

}  // namespace brindlet::streaming
