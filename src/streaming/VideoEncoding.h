#pragma once

#include <functional>
#include <memory>

#include <boost/asio/awaitable.hpp>

#include "protocol/SampleBufferBuilder.h"
#include "streaming/PixelBuffer.h"
#include "streaming/VideoTypes.h"

namespace brindlet::streaming {

// What the pipeline needs of an encoder. The output handler runs on the encoder's own thread and
// must be safe to call from any thread. It may call encode() again before it returns (a frame the
// link refuses at once drains the link, and the frame held back goes to the encoder), so the
// encoder holds no lock of its own while it calls the handler.
class VideoEncoding {
 public:
  using Output = std::function<void(EncodedFrame)>;

  virtual ~VideoEncoding() = default;

  virtual const EncoderSettings& settings() const = 0;
  // Queues the frame and returns; its output arrives later. Never waits for the encoder. Throws
  // EncoderError when the frame was refused.
  virtual void encode(SharedPixelBuffer buffer, protocol::MediaTime time, bool forceKeyframe) = 0;
  // Takes effect for the frames that follow. Throws EncoderError; the old quality then stays.
  virtual void setQuality(VideoQuality quality) = 0;
  // Finishes every frame queued so far: their outputs have run when it completes. Resumes on the
  // caller's executor.
  virtual boost::asio::awaitable<void> completeFrames() = 0;
};

// Makes an encoder for one stream; throws EncoderError when it cannot.
using VideoEncoderFactory = std::function<std::unique_ptr<VideoEncoding>(
    const EncoderSettings& settings, VideoEncoding::Output output)>;

}  // namespace brindlet::streaming
