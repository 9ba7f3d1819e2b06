#pragma once

#include <memory>
#include <string>

#include "streaming/CaptureBackend.h"

namespace brindlet::platform {

// Screen capture on X11. Displays are the RandR outputs that show a monitor, by output id (the
// virtual display manager's ids); windows are the mapped top-level windows, read from the pixmap
// the server composites them from (so a covered window shows itself). Everything runs on
// one connection of the backend's own, whose worker is the capture thread ("capture"): XDamage
// reports when the bounds of what was drawn grow, and once they meet the target's rectangle the
// damage so far is taken and tested against it; after any report the next tick takes it, so the
// server keeps no more than a frame interval's drawing for us and drawing elsewhere costs it and
// us next to nothing; a
// change, a pointer move over it, the start or a frame request gives one XShmGetImage of the
// rectangle with the XFixes cursor drawn in, converted to NV12 (BT.601, limited range) into one
// of three pool buffers, at most one frame per 1/60 s. A still screen gives no frames. One
// capture runs at a time: starts that meet share one opening of the connection, and a start
// while a capture runs is refused (streamFailed).
//
// No X display or a missing extension: notPermitted. Shared memory failing: streamFailed. A lost
// connection or the output switched off ends the stream as the system's stop.
class X11CaptureBackend : public streaming::CaptureBackend {
 public:
  // Connects on first use. Empty: $DISPLAY.
  explicit X11CaptureBackend(std::string display);
  ~X11CaptureBackend() override;
  X11CaptureBackend(const X11CaptureBackend&) = delete;
  X11CaptureBackend& operator=(const X11CaptureBackend&) = delete;

  boost::asio::awaitable<streaming::ShareableContent> shareableContent() override;
  boost::asio::awaitable<std::unique_ptr<streaming::CaptureStream>> start(
      streaming::CaptureTarget target, int width, int height,
      streaming::CaptureCallbacks callbacks) override;

  struct Inner;

 private:
  std::shared_ptr<Inner> inner_;
};

}  // namespace brindlet::platform
