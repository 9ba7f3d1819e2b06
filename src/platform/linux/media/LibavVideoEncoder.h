#pragma once

#include <memory>

#include "streaming/VideoEncoding.h"

namespace brindlet::platform::media {

struct LibavEncoderOptions {
  int threads = 0;  // the compressor's slice threads; 0 lets it choose
};

// One stream's encoder on libavcodec: libx264 for H.264 (fed NV12 as it is), libx265 for HEVC
// (fed I420). Tuned for low latency: real time, no frame reordering, nothing held back (every
// frame's access unit comes out before the next frame goes in), keyframes only when forced or
// due (keyframe interval in frames or in media time), each an IDR picture with the parameter
// sets in front, and the bit rate and data-rate limit of the user's quality.
//
// Access units come out in Annex-B form as the compressor writes them, copied once from its
// packet into a buffer of a pool sized by the stream, with room in front for the link's frame
// header. Encoding and output run on the encoder's own thread. Statuses in errors and log lines
// are libavcodec's (negative AVERROR codes).
class LibavVideoEncoder final : public streaming::VideoEncoding {
 public:
  // Opens the compressor; throws EncoderError when it can't.
  LibavVideoEncoder(const streaming::EncoderSettings& settings, Output output,
                    LibavEncoderOptions options = {});
  ~LibavVideoEncoder() override;

  const streaming::EncoderSettings& settings() const override;
  void encode(streaming::SharedPixelBuffer buffer, protocol::MediaTime time,
              bool forceKeyframe) override;
  void setQuality(streaming::VideoQuality quality) override;
  boost::asio::awaitable<void> completeFrames() override;

  streaming::VideoQuality quality() const;

  // The rate control of a quality: the average, and the data-rate limit as a ceiling over one
  // buffer of [bytes, seconds].
  struct Rate {
    std::int64_t bitRate = 0;
    double limitBytes = 0;
    double limitSeconds = 1.0;
  };
  static Rate rateOf(streaming::VideoQuality quality);

  static streaming::VideoEncoderFactory factory(LibavEncoderOptions options = {});

 private:
  struct Core;
  std::unique_ptr<Core> core_;
};

}  // namespace brindlet::platform::media
