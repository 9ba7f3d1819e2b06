#include "streaming/FakeVideoEncoder.h"

#include <algorithm>
#include <cstring>
#include <utility>

#include <boost/asio/post.hpp>

#include "runtime/WorkerThread.h"

namespace brindlet::streaming {

std::vector<FakeVideoEncoder::Request> FakeVideoEncoder::Script::requests() const {
  std::lock_guard lock(mutex_);
  return requests_;
}

std::vector<VideoQuality> FakeVideoEncoder::Script::qualities() const {
  std::lock_guard lock(mutex_);
  return qualities_;
}

VideoEncoderFactory FakeVideoEncoder::factory(std::shared_ptr<Script> script) {
  return [script](const EncoderSettings& settings, Output output) {
    if (script->creationError) throw *script->creationError;
    return std::make_unique<FakeVideoEncoder>(settings, std::move(output), script);
  };
}

FakeVideoEncoder::FakeVideoEncoder(const EncoderSettings& settings, Output output,
                                   std::shared_ptr<Script> script)
    : settings_(settings),
      output_(std::make_shared<Output>(std::move(output))),
      script_(std::move(script)) {}

void FakeVideoEncoder::encode(SharedPixelBuffer buffer, protocol::MediaTime time,
                              bool forceKeyframe) {
  const Request request{time, forceKeyframe};
  {
    std::lock_guard lock(script_->mutex_);
    if (auto error = std::exchange(script_->encodeError, std::nullopt)) throw *error;
    script_->requests_.push_back(request);
  }
  const std::size_t size = script_->sizeOf ? script_->sizeOf(request)
                           : forceKeyframe ? 300000
                                           : 20000;
  // The picture is held until its output is made, as a real encoder holds it.
  boost::asio::post(script_->outputs, [output = output_, buffer = std::move(buffer), request, size,
                                       pool = script_->pool] {
    runtime::Bytes data(size, 0x2A);
    std::memcpy(data.data(), &request.time.value, std::min(size, sizeof(request.time.value)));
    runtime::PooledBytes bytes;
    auto out = size <= pool->size() ? pool->acquire() : runtime::BufferPool::Buffer();
    if (out) {
      std::memcpy(out.payload().data(), data.data(), size);
      bytes = runtime::PooledBytes(std::move(out), size);
    } else {
      bytes = runtime::PooledBytes::oneOff(data, EncodedFrame::kHeadroom);
    }
    (*output)(
        EncodedFrame(std::move(bytes), request.forceKeyframe,
                     double(request.time.value) / double(std::max(request.time.timescale, 1))));
  });
}

void FakeVideoEncoder::setQuality(VideoQuality quality) {
  std::lock_guard lock(script_->mutex_);
  if (script_->qualityError) throw *script_->qualityError;
  script_->qualities_.push_back(quality);
  settings_.quality = quality;
}

boost::asio::awaitable<void> FakeVideoEncoder::completeFrames() {
  // Outputs run in order on their executor: once this has run there, so have they.
  auto nothing = [] {};
  co_await runtime::offload(script_->outputs, nothing);
}

}  // namespace brindlet::streaming
