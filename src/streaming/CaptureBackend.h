#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <boost/asio/awaitable.hpp>

#include "protocol/SampleBufferBuilder.h"
#include "streaming/PixelBuffer.h"

namespace brindlet::streaming {

// What to capture: a display by the display manager's id, or one window.
struct CaptureTarget {
  enum class Kind { display, window };
  Kind kind = Kind::display;
  std::uint32_t id = 0;

  static CaptureTarget display(std::uint32_t id) { return {Kind::display, id}; }
  static CaptureTarget window(std::uint32_t id) { return {Kind::window, id}; }
  // "display(3)", "window(4194305)".
  std::string text() const;

  friend bool operator==(const CaptureTarget&, const CaptureTarget&) = default;
};

// What a capture source says of a frame it delivers. Only complete frames hold a new picture.
enum class FrameStatus { complete, idle, blank, suspended, started, stopped };

// One delivery of a capture source.
struct CapturedFrame {
  SharedPixelBuffer buffer;           // none when the delivery has no picture
  protocol::MediaTime time;           // presentation time
  std::optional<FrameStatus> status;  // none when the source says nothing of it
};

// The displays and windows that can be captured now, by id.
struct ShareableContent {
  std::vector<std::uint32_t> displays;
  std::vector<std::uint32_t> windows;
};

// One running capture of a backend. Destroying it stops it without waiting.
class CaptureStream {
 public:
  virtual ~CaptureStream() = default;
  // No frame is delivered once it completes. Throws CaptureError (streamFailed) when the system
  // refused to stop cleanly; the stream is stopped all the same.
  virtual boost::asio::awaitable<void> stop() = 0;
  // Delivers the picture as it is at the next opportunity, changed or not.
  virtual void requestFrame() = 0;
};

// How a stream reports to its owner.
struct CaptureCallbacks {
  // Each frame, on the capture thread, one at a time.
  std::function<void(CapturedFrame frame)> frame;
  // At most once, on the loop that started the stream, when the stream ended without being asked
  // to (the display went away, the connection to the system was lost).
  std::function<void(std::string description)> stopped;
};

// The platform's screen capture. Calls run on the caller's loop and answer there.
class CaptureBackend {
 public:
  virtual ~CaptureBackend() = default;
  // Throws CaptureError (notPermitted) when the system cannot say.
  virtual boost::asio::awaitable<ShareableContent> shareableContent() = 0;
  // Captures the target scaled to width × height pixels, frames at most 60 times a second.
  // Throws CaptureError (streamFailed) when the stream cannot be set up or started.
  virtual boost::asio::awaitable<std::unique_ptr<CaptureStream>> start(
      CaptureTarget target, int width, int height, CaptureCallbacks callbacks) = 0;
};

}  // namespace brindlet::streaming
