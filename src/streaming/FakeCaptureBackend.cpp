#include "streaming/FakeCaptureBackend.h"

#include <boost/asio/post.hpp>

namespace brindlet::streaming {

using boost::asio::awaitable;

void FakeCaptureBackend::Shared::call(std::string text) {
  std::lock_guard lock(mutex);
  calls.push_back(std::move(text));
}

class FakeCaptureBackend::Stream final : public CaptureStream {
 public:
  Stream(std::shared_ptr<Shared> shared, std::size_t number)
      : shared_(std::move(shared)), number_(number) {}
  ~Stream() override { halt(); }

  awaitable<void> stop() override {
    shared_->call("stop " + std::to_string(number_));
    halt();
    std::optional<CaptureError> failure;
    {
      std::lock_guard lock(shared_->mutex);
      failure = shared_->stopFailure;
    }
    if (failure) throw *failure;
    co_return;
  }
  void requestFrame() override { shared_->call("frame " + std::to_string(number_)); }

 private:
  void halt() {
    std::lock_guard lock(shared_->mutex);
    shared_->streams[number_ - 1].running = false;
  }

  std::shared_ptr<Shared> shared_;
  std::size_t number_;
};

FakeCaptureBackend::FakeCaptureBackend(boost::asio::any_io_executor loop)
    : loop_(std::move(loop)), shared_(std::make_shared<Shared>()) {}

awaitable<ShareableContent> FakeCaptureBackend::shareableContent() {
  shared_->call("content");
  if (contentFailure) throw *contentFailure;
  co_return content;
}

awaitable<std::unique_ptr<CaptureStream>> FakeCaptureBackend::start(CaptureTarget target, int width,
                                                                    int height,
                                                                    CaptureCallbacks callbacks) {
  shared_->call("start " + target.text() + " " + std::to_string(width) + "x" +
                std::to_string(height));
  if (startGate) {
    auto gate = std::exchange(startGate, nullptr);
    co_await gate->wait();
  }
  if (startFailure) throw *startFailure;
  std::size_t number;
  {
    std::lock_guard lock(shared_->mutex);
    shared_->stopFailure = stopFailure;
    shared_->streams.push_back({std::move(callbacks), true});
    number = shared_->streams.size();
  }
  co_return std::make_unique<Stream>(shared_, number);
}

std::size_t FakeCaptureBackend::streams() const {
  std::lock_guard lock(shared_->mutex);
  return shared_->streams.size();
}

bool FakeCaptureBackend::isRunning(std::size_t stream) const {
  std::lock_guard lock(shared_->mutex);
  return stream >= 1 && stream <= shared_->streams.size() && shared_->streams[stream - 1].running;
}

bool FakeCaptureBackend::deliver(std::size_t stream, CapturedFrame frame) {
  std::function<void(CapturedFrame)> handler;
  {
    std::lock_guard lock(shared_->mutex);
    if (stream < 1 || stream > shared_->streams.size() || !shared_->streams[stream - 1].running)
      return false;
    handler = shared_->streams[stream - 1].callbacks.frame;
  }
  handler(std::move(frame));
  return true;
}

void FakeCaptureBackend::stopBySystem(std::size_t stream, std::string description) {
  std::function<void(std::string)> handler;
  {
    std::lock_guard lock(shared_->mutex);
    auto& record = shared_->streams.at(stream - 1);
    record.running = false;
    handler = record.callbacks.stopped;
  }
  boost::asio::post(loop_, [handler, description] { handler(description); });
}

SharedPixelBuffer FakeCaptureBackend::picture() {
  static const auto pool = runtime::BufferPool::make(PixelBuffer::byteSize(2, 2, 2), 0, 8);
  return std::make_shared<PixelBuffer>(pool->acquire(), 2, 2, 2);
}

std::vector<std::string> FakeCaptureBackend::calls() const {
  std::lock_guard lock(shared_->mutex);
  return shared_->calls;
}

}  // namespace brindlet::streaming
