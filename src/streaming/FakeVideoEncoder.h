#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include <boost/asio/any_io_executor.hpp>

#include "streaming/VideoEncoding.h"

namespace brindlet::streaming {

// The encoder's test double. Each frame it is given becomes, on its output executor (the
// encoder's thread), an output of the size the script gives: a keyframe when forced, else a
// delta. The payload starts with the frame's time value (8 bytes, little-endian) so that a
// receiver can tell frames apart. Outputs come in buffers of a pool, as the real encoder's do;
// one larger than them, or made while all are out, takes a buffer of its own.
class FakeVideoEncoder final : public VideoEncoding {
 public:
  struct Request {
    protocol::MediaTime time;
    bool forceKeyframe = false;
    friend bool operator==(const Request&, const Request&) = default;
  };
  // What a test sets and reads; shared with every encoder its factory makes and outliving them.
  struct Script {
    boost::asio::any_io_executor outputs;
    // Output sizes; keyframes 300000 bytes and deltas 20000 unless the test says otherwise.
    std::function<std::size_t(const Request&)> sizeOf;
    std::optional<EncoderError> creationError;
    std::optional<EncoderError> encodeError;   // refuses the next encode only
    std::optional<EncoderError> qualityError;  // refuses every quality change
    std::shared_ptr<runtime::BufferPool> pool =
        runtime::BufferPool::make(300000, EncodedFrame::kHeadroom, 8);

    std::vector<Request> requests() const;
    std::vector<VideoQuality> qualities() const;

   private:
    friend class FakeVideoEncoder;
    mutable std::mutex mutex_;
    std::vector<Request> requests_;  // every frame taken, in order
    std::vector<VideoQuality> qualities_;
  };

  static VideoEncoderFactory factory(std::shared_ptr<Script> script);

  FakeVideoEncoder(const EncoderSettings& settings, Output output, std::shared_ptr<Script> script);

  const EncoderSettings& settings() const override { return settings_; }
  void encode(SharedPixelBuffer buffer, protocol::MediaTime time, bool forceKeyframe) override;
  void setQuality(VideoQuality quality) override;
  // Resumes once every output queued before it has run.
  boost::asio::awaitable<void> completeFrames() override;

 private:
  EncoderSettings settings_;
  std::shared_ptr<Output> output_;
  std::shared_ptr<Script> script_;
};

}  // namespace brindlet::streaming
