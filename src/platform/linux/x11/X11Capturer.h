#pragma once

// The capture of one stream on X11, for X11CaptureBackend only: it includes Xlib.

#include <X11/Xlib.h>
#include <X11/extensions/XShm.h>
#include <X11/extensions/Xdamage.h>
#include <X11/extensions/Xfixes.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>

#include "platform/linux/x11/X11Connection.h"
#include "runtime/BufferPool.h"
#include "streaming/CaptureBackend.h"

namespace brindlet::platform::x11capture {

using SteadyClock = std::chrono::steady_clock;
using streaming::CaptureTarget;

// A rectangle in pixels.
struct Rect {
  int x = 0, y = 0, width = 0, height = 0;
  bool contains(int px, int py) const {
    return px >= x && py >= y && px < x + width && py < y + height;
  }
  bool meets(const XRectangle& r) const {
    return r.x < x + width && x < r.x + r.width && r.y < y + height && y < r.y + r.height;
  }
  friend bool operator==(const Rect&, const Rect&) = default;
};

// The event numbers of the extensions capture needs, on one connection.
struct Extensions {
  int damageEvent = 0, fixesEvent = 0, randrEvent = 0;
  bool composite = false;  // windows are read from their own pixmaps, covered or not
  int inputOpcode = 0;
  bool rawMotion = false;  // XInput 2: the pointer's motion is reported
};

// Throws CaptureError (notPermitted) when one is missing.
Extensions queryExtensions(Display* d);
// The outputs that show a monitor.
std::vector<std::uint32_t> monitorOutputs(Display* d);
// The mapped top-level windows.
std::vector<std::uint32_t> viewableTopLevels(Display* d);

// How a stream tells its owner that the system ended it: once, on the owner's loop, and never
// after the owner asked it to stop.
struct Ending : std::enable_shared_from_this<Ending> {
  boost::asio::any_io_executor owner;
  std::function<void(std::string)> stopped;
  bool ended = false;  // owner's loop only

  void finish(const std::string& description) {
    if (ended) return;
    ended = true;
    if (stopped) stopped(description);
  }
  void fromWorker(std::string description) {
    boost::asio::post(owner, [self = shared_from_this(), description = std::move(description)] {
      self->finish(description);
    });
  }
};

// One stream's capture, on the connection's worker only.
class Capturer : public std::enable_shared_from_this<Capturer> {
 public:
  Capturer(X11Connection& connection, Extensions extensions, CaptureTarget target, int width,
           int height, std::function<void(streaming::CapturedFrame)> deliver,
           std::shared_ptr<Ending> ending)
      : connection_(connection),
        d_(connection.display()),
        root_(DefaultRootWindow(d_)),
        extensions_(extensions),
        target_(target),
        width_(width),
        height_(height),
        deliver_(std::move(deliver)),
        ending_(std::move(ending)),
        timer_(connection.worker()) {}
  ~Capturer() { release(); }

  // Throws CaptureError (streamFailed), with nothing left behind.
  void begin();
  // Idempotent.
  void end();
  bool isRunning() const { return running_; }
  const CaptureTarget& target() const { return target_; }
  void onEvent(XEvent& event);
  void request() {
    requested_ = true;
    pump();
    connection_.drainEvents();
  }
  // Grabs a frame if one is due and the last was at least a frame interval before `at` (a
  // tick's due time, else now).
  void pump(SteadyClock::time_point at = SteadyClock::now());

 private:
  bool locate();
  void attachImage();
  void release();
  void tick();
  void schedule();
  bool needsTick() const;
  void frame(SteadyClock::time_point at);
  void selectMotion(bool on);
  void watchPointer();
  void look();
  bool grab();
  void drawCursor();
  void systemStop(std::string description);
  bool isDisplay() const { return target_.kind == CaptureTarget::Kind::display; }

  X11Connection& connection_;
  Display* d_;
  Window root_;
  Extensions extensions_;
  CaptureTarget target_;
  int width_, height_;  // of the frames
  std::function<void(streaming::CapturedFrame)> deliver_;
  std::shared_ptr<Ending> ending_;
  boost::asio::steady_timer timer_;

  Window window_ = 0;  // a window target
  Pixmap pixmap_ = 0;  // its contents, when the server composites it for us
  bool redirected_ = false;
  Drawable drawable_ = 0;          // what is read
  Rect source_;                    // read, in the drawable
  Rect watched_;                   // the same, in the window that damage is reported for
  int originX_ = 0, originY_ = 0;  // the source's top left on the screen
  int depth_ = 0;
  Visual* visual_ = nullptr;
  XShmSegmentInfo shm_{};
  XImage* image_ = nullptr;
  bool attached_ = false;
  Damage damage_ = 0;
  XserverRegion damaged_ = 0;  // what the damage held at the last look
  XserverRegion watchedRegion_ = 0;
  bool selected_ = false;
  std::vector<std::uint8_t> scaled_;
  std::shared_ptr<runtime::BufferPool> pool_;

  bool running_ = false;
  bool changed_ = true;  // the start gives a frame
  bool requested_ = false;
  bool reported_ = false;      // the damage's bounds came to meet the picture since the last look
  bool drawnSince_ = false;    // anything was reported since the damage was last taken
  bool pointerMoved_ = false;  // since the last tick
  bool ticking_ = false;       // a tick is due
  bool starved_ = false;       // no free buffer at the last grab
  bool pointerInside_ = false;
  int pointerX_ = -1, pointerY_ = -1;
  SteadyClock::time_point lastGrab_{};
  SteadyClock::time_point lastEmptyLook_{};  // the last look that found no change
  SteadyClock::time_point due_{};            // of the next tick
};

}  // namespace brindlet::platform::x11capture
