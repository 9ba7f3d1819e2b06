#pragma once

#include <cstdint>
#include <functional>
#include <memory>

#include <boost/asio/awaitable.hpp>

#include "streaming/VideoTypes.h"

namespace brindlet::streaming {

class VideoPipeline;
class VideoSink;

// How the host session runs the video of its display: one stream at a time, driven from the
// main loop.
class VideoStreaming {
 public:
  // Told on the main loop that capture ended without being asked to (the display went away,
  // the X server dropped us). What was running stays in place until stop() or start().
  using StoppedHandler = std::function<void(const StreamError& error)>;

  virtual ~VideoStreaming() = default;

  // Stops whatever runs, then streams the display into the sink; throws StreamError, and then
  // nothing runs.
  virtual boost::asio::awaitable<void> start(EncoderSettings settings,
                                             std::shared_ptr<VideoSink> sink,
                                             std::uint32_t display) = 0;
  // Never throws; returns at once when nothing runs.
  virtual boost::asio::awaitable<void> stop() = 0;
  // Told on the main loop when the running stream could not take a quality: it goes on at
  // `kept`.
  using QualityRefusedHandler = std::function<void(VideoQuality kept)>;

  // Applies to the running stream, if any; a refusal is logged and the old quality stays.
  virtual void setQuality(VideoQuality quality) = 0;
  virtual void onQualityRefused(QualityRefusedHandler handler) = 0;
  // The running stream's pipeline, for keyframe requests and statistics; none while idle.
  virtual std::shared_ptr<VideoPipeline> pipeline() const = 0;
  virtual void onStopped(StoppedHandler handler) = 0;
};

}  // namespace brindlet::streaming
