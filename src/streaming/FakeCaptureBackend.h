#pragma once

#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include <boost/asio/any_io_executor.hpp>

#include "runtime/OneShot.h"
#include "streaming/CaptureBackend.h"
#include "streaming/VideoTypes.h"

namespace brindlet::streaming {

// A capture source for tests: the test delivers frames itself (as the capture thread would) and
// ends streams as the system would. It records what was asked of it: "content",
// "start display(3) 1178x2556", "frame 1" (stream 1 was asked for a picture), "stop 1".
class FakeCaptureBackend final : public CaptureBackend {
 public:
  explicit FakeCaptureBackend(boost::asio::any_io_executor loop);

  ShareableContent content{{1}, {}};
  std::optional<CaptureError> contentFailure;  // notPermitted
  std::optional<CaptureError> startFailure;    // streamFailed
  std::optional<CaptureError> stopFailure;     // streamFailed, for every stop
  // When set, a start waits for it before it answers.
  std::shared_ptr<runtime::OneShot<std::monostate>> startGate;

  boost::asio::awaitable<ShareableContent> shareableContent() override;
  boost::asio::awaitable<std::unique_ptr<CaptureStream>> start(CaptureTarget target, int width,
                                                               int height,
                                                               CaptureCallbacks callbacks) override;

  // Streams by number from 1, in the order they started.
  std::size_t streams() const;
  bool isRunning(std::size_t stream) const;
  // Hands a delivery to a running stream's frame handler on the calling thread; false when the
  // stream is not running.
  bool deliver(std::size_t stream, CapturedFrame frame);
  // The system ends a running stream: its stop notice is posted to the loop.
  void stopBySystem(std::size_t stream, std::string description);
  std::vector<std::string> calls() const;
  // A 2×2 picture to deliver, from a pool of a few.
  static SharedPixelBuffer picture();

 private:
  class Stream;
  struct Record {
    CaptureCallbacks callbacks;
    bool running = true;
  };
  struct Shared {
    mutable std::mutex mutex;
    std::vector<Record> streams;
    std::vector<std::string> calls;
    std::optional<CaptureError> stopFailure;
    void call(std::string text);
  };

  boost::asio::any_io_executor loop_;
  std::shared_ptr<Shared> shared_;
};

}  // namespace brindlet::streaming
