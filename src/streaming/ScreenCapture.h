#pragma once

#include <cstdint>
#include <functional>
#include <memory>

#include <boost/asio/awaitable.hpp>

#include "streaming/CaptureBackend.h"
#include "streaming/VideoTypes.h"

namespace brindlet::streaming {

// Captures one display (or window) through the platform's backend and hands every complete
// frame to its frame handler, on the capture thread. One object serves one stream of the
// display streamer. Start, stop and the stop notices run on the main loop.
class ScreenCapture {
 public:
  using FrameHandler = std::function<void(SharedPixelBuffer buffer, protocol::MediaTime time)>;
  // The system ended the running stream: streamFailed with its description.
  using StoppedHandler = std::function<void(const CaptureError& error)>;

  // The label of the capture thread in logs and traces.
  static constexpr const char* kQueueLabel = "com.velvane.mac.capture";
  // The largest side a capture can have.
  static constexpr double kMaxSide = 32767;

  ScreenCapture(std::shared_ptr<CaptureBackend> backend, FrameHandler onFrame);
  // A stream still running is stopped without waiting.
  ~ScreenCapture();
  ScreenCapture(const ScreenCapture&) = delete;
  ScreenCapture& operator=(const ScreenCapture&) = delete;

  // Stops a running stream first. Throws CaptureError: displayNotFound / windowNotFound when the
  // target is not shareable, notPermitted when the content cannot be read, streamFailed for a
  // size that is not a finite number in 1...32767 or a stream that does not start.
  boost::asio::awaitable<void> start(CaptureTarget target, double width, double height);
  // Never throws; returns at once when nothing runs.
  boost::asio::awaitable<void> stop();
  // The running stream delivers its picture at the next opportunity, even when nothing changed.
  void requestFrame();
  void onStopped(StoppedHandler handler);
  bool isRunning() const;

  // Whether a delivery carries a complete new picture.
  static bool isComplete(const CapturedFrame& frame);

 private:
  struct State;
  std::shared_ptr<State> state_;
};

}  // namespace brindlet::streaming
