#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>

#include <boost/asio/awaitable.hpp>

#include "protocol/SampleBufferBuilder.h"
#include "streaming/PixelBuffer.h"
#include "streaming/VideoEncoding.h"
#include "streaming/VideoSink.h"
#include "streaming/VideoTypes.h"

namespace brindlet::streaming {

// Stands between capture and the link: admits a captured frame only while the bytes in flight
// stay within a limit drawn from the quality, hands admitted frames to the encoder and its output
// to the sink. When the link falls behind it drops frames, keeps the newest one back, and sends
// that one as a keyframe as soon as the link has drained.
//
// Threads: submit() on the capture thread, encoder output on the encoder's thread, the drained
// callback wherever the sink completes sends; setQuality(), flush(), requestKeyframe() and
// stats() on the main loop.
class VideoPipeline : public std::enable_shared_from_this<VideoPipeline> {
 public:
  struct Stats {
    std::int64_t encoded = 0;    // frames handed to the sink, keyframes included
    std::int64_t dropped = 0;    // at admission, at output, or because encoding failed
    std::int64_t keyframes = 0;  // keyframes handed to the sink
    // Frames too large for the encoder's output buffers, which took a buffer of their own.
    std::int64_t oneOffBuffers = 0;

    friend bool operator==(const Stats&, const Stats&) = default;
  };

  // Makes the encoder with `makeEncoder` (its EncoderError propagates) and registers for the
  // sink's drained callback, replacing whatever the sink held.
  static std::shared_ptr<VideoPipeline> make(const EncoderSettings& settings,
                                             std::shared_ptr<VideoSink> sink,
                                             const VideoEncoderFactory& makeEncoder);
  ~VideoPipeline();
  VideoPipeline(const VideoPipeline&) = delete;
  VideoPipeline& operator=(const VideoPipeline&) = delete;

  // Every complete captured frame. Never throws.
  void submit(SharedPixelBuffer buffer, protocol::MediaTime time);
  // Throws EncoderError when the encoder refuses; the old limit then stays.
  void setQuality(VideoQuality quality);
  // Discards the frame held back and completes every frame the encoder holds: their output has
  // gone to the sink when it returns. Waits with no lock held, so output sent meanwhile (and a
  // drain it causes) goes through.
  boost::asio::awaitable<void> flush();
  // The next captured frame is encoded as a keyframe, and the keyframe-request handler is told
  // (so that capture delivers a frame even when the screen is still).
  void requestKeyframe();
  // Main loop only; replaces the handler set before.
  void onKeyframeRequest(std::function<void()> handler);
  Stats stats() const;

  // The sink's outstanding bytes fell to 0: a frame held back goes out as a keyframe.
  void onDrained();

  // The outstanding bytes a stream at this quality and frame rate may hold (a rate below 1 counts
  // as 1).
  static std::int64_t limitFor(VideoQuality quality, int frameRate);

 private:
  struct Shared;
  struct Pending {
    SharedPixelBuffer buffer;
    protocol::MediaTime time;
  };

  VideoPipeline(std::shared_ptr<VideoSink> sink, std::shared_ptr<Shared> shared);
  // Under the encoding lock: a refused frame counts as dropped and forces the next keyframe.
  void encode(SharedPixelBuffer buffer, protocol::MediaTime time, bool force);

  std::shared_ptr<VideoSink> sink_;
  std::shared_ptr<Shared> shared_;  // the state, shared with the encoder's output handler
  std::unique_ptr<VideoEncoding> encoder_;
  // Serialises every call into the encoder with a captured frame and guards pending_.
  std::mutex encoding_;
  std::optional<Pending> pending_;
  std::function<void()> keyframeRequested_;  // main loop only
};

}  // namespace brindlet::streaming
