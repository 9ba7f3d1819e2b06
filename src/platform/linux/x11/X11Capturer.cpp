#include "platform/linux/x11/X11Capturer.h"

#include <X11/Xutil.h>
#include <X11/extensions/XInput2.h>
#include <X11/extensions/Xcomposite.h>
#include <X11/extensions/Xfixes.h>
#include <X11/extensions/Xrandr.h>
#include <libyuv/convert_from_argb.h>
#include <libyuv/scale_argb.h>
#include <sys/ipc.h>
#include <sys/shm.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <optional>

#include <boost/asio/post.hpp>

#include "runtime/Log.h"
#include "streaming/VideoTypes.h"

namespace brindlet::platform::x11capture {
namespace {

using streaming::CaptureError;

// At most one frame per 1/60 s; the damage is taken and the moved pointer looked at as often.
constexpr auto kFrameInterval = std::chrono::nanoseconds(1'000'000'000 / 60);
// Frames in flight between capture and the encoder; with none free a change waits for a tick.
constexpr std::size_t kQueueDepth = 3;
constexpr std::int32_t kNanoseconds = 1'000'000'000;

const runtime::Logger& logger() {
  return runtime::Logger::of("capture");
}

// Where the output shows on the screen; none unless it is lit and shows a monitor.
std::optional<Rect> outputRect(Display* d, RROutput output) {
  const auto shown = monitorOutputs(d);
  if (std::find(shown.begin(), shown.end(), output) == shown.end()) return std::nullopt;
  XRRScreenResources* res = XRRGetScreenResourcesCurrent(d, DefaultRootWindow(d));
  if (!res) return std::nullopt;
  std::optional<Rect> rect;
  if (XRROutputInfo* info = XRRGetOutputInfo(d, res, output)) {
    if (info->crtc != 0) {
      if (XRRCrtcInfo* crtc = XRRGetCrtcInfo(d, res, info->crtc)) {
        if (crtc->mode != 0) rect = Rect{crtc->x, crtc->y, int(crtc->width), int(crtc->height)};
        XRRFreeCrtcInfo(crtc);
      }
    }
    XRRFreeOutputInfo(info);
  }
  XRRFreeScreenResources(res);
  return rect;
}

CaptureError xFailure(X11Connection& connection, unsigned long serial, const char* what) {
  const auto errors = connection.errorsSince(serial);
  std::string text = what;
  if (!errors.empty()) {
    text += ": X error " + std::to_string(errors.front().code) + " on " +
            connection.requestName(errors.front().request);
  }
  return CaptureError::streamFailed(text);
}

}  // namespace

Extensions queryExtensions(Display* d) {
  const auto missing = [](const char* name) {
    return CaptureError::notPermitted(std::string("X extension ") + name + " is missing");
  };
  Extensions e;
  int major = 0, minor = 0, error = 0;
  Bool pixmaps = False;
  if (!XShmQueryVersion(d, &major, &minor, &pixmaps)) throw missing("MIT-SHM");
  if (!XDamageQueryExtension(d, &e.damageEvent, &error)) throw missing("DAMAGE");
  major = 1, minor = 1;
  XDamageQueryVersion(d, &major, &minor);
  if (!XFixesQueryExtension(d, &e.fixesEvent, &error)) throw missing("XFIXES");
  major = 2, minor = 0;
  if (!XFixesQueryVersion(d, &major, &minor) || major < 2) throw missing("XFIXES 2");
  if (!XRRQueryExtension(d, &e.randrEvent, &error)) throw missing("RANDR");
  if (!XRRQueryVersion(d, &major, &minor) || (major == 1 && minor < 5)) throw missing("RANDR 1.5");
  int event = 0;
  major = 0, minor = 2;
  e.composite = XCompositeQueryExtension(d, &event, &error) &&
                XCompositeQueryVersion(d, &major, &minor) && (major > 0 || minor >= 2);
  major = 2, minor = 2;
  e.rawMotion = XQueryExtension(d, "XInputExtension", &e.inputOpcode, &event, &error) &&
                XIQueryVersion(d, &major, &minor) == Success;
  return e;
}

// The outputs that show a monitor.
std::vector<std::uint32_t> monitorOutputs(Display* d) {
  std::vector<std::uint32_t> outputs;
  int count = 0;
  XRRMonitorInfo* monitors = XRRGetMonitors(d, DefaultRootWindow(d), True, &count);
  for (int m = 0; m < count; ++m)
    for (int o = 0; o < monitors[m].noutput; ++o)
      outputs.push_back(static_cast<std::uint32_t>(monitors[m].outputs[o]));
  if (monitors) XRRFreeMonitors(monitors);
  return outputs;
}

std::vector<std::uint32_t> viewableTopLevels(Display* d) {
  std::vector<std::uint32_t> windows;
  Window root = 0, parent = 0;
  Window* children = nullptr;
  unsigned int count = 0;
  if (!XQueryTree(d, DefaultRootWindow(d), &root, &parent, &children, &count)) return windows;
  for (unsigned int i = 0; i < count; ++i) {
    XWindowAttributes a;
    if (XGetWindowAttributes(d, children[i], &a) && a.map_state == IsViewable &&
        !a.override_redirect)
      windows.push_back(static_cast<std::uint32_t>(children[i]));
  }
  if (children) XFree(children);
  return windows;
}

bool Capturer::locate() {
  if (isDisplay()) {
    const auto rect = outputRect(d_, static_cast<RROutput>(target_.id));
    if (!rect) return false;
    drawable_ = root_;
    source_ = watched_ = *rect;
    originX_ = rect->x;
    originY_ = rect->y;
    visual_ = DefaultVisual(d_, DefaultScreen(d_));
    depth_ = DefaultDepth(d_, DefaultScreen(d_));
    return true;
  }
  XWindowAttributes a;
  window_ = target_.id;
  if (!XGetWindowAttributes(d_, window_, &a) || a.map_state != IsViewable) return false;
  Window child = 0;
  XTranslateCoordinates(d_, window_, root_, 0, 0, &originX_, &originY_, &child);
  watched_ = {0, 0, a.width, a.height};
  visual_ = a.visual;
  depth_ = a.depth;
  if (!extensions_.composite) {
    // Read from the screen: what covers the window shows, and a window partly off the screen
    // cannot be read.
    drawable_ = window_;
    source_ = watched_;
    return true;
  }
  if (!redirected_) {
    XCompositeRedirectWindow(d_, window_, CompositeRedirectAutomatic);
    redirected_ = true;
  }
  // A new pixmap after every resize; the pixmap holds the border too.
  if (pixmap_) XFreePixmap(d_, pixmap_);
  pixmap_ = XCompositeNameWindowPixmap(d_, window_);
  drawable_ = pixmap_;
  source_ = {a.border_width, a.border_width, a.width, a.height};
  return true;
}

void Capturer::attachImage() {
  const unsigned long serial = connection_.nextSerial();
  image_ = XShmCreateImage(d_, visual_, unsigned(depth_), ZPixmap, nullptr, &shm_,
                           unsigned(source_.width), unsigned(source_.height));
  if (!image_) throw CaptureError::streamFailed("XShmCreateImage failed");
  if (image_->bits_per_pixel != 32)
    throw CaptureError::streamFailed("the picture is not 32 bits a pixel");
  shm_.shmid =
      shmget(IPC_PRIVATE, std::size_t(image_->bytes_per_line) * image_->height, IPC_CREAT | 0600);
  if (shm_.shmid < 0) {
    throw CaptureError::streamFailed(std::string("shared memory: ") + std::strerror(errno));
  }
  shm_.shmaddr = image_->data = static_cast<char*>(shmat(shm_.shmid, nullptr, 0));
  // Removed at once: the segment lives while it is attached, and no crash can leak it.
  shmctl(shm_.shmid, IPC_RMID, nullptr);
  if (shm_.shmaddr == reinterpret_cast<char*>(-1)) {
    shm_.shmaddr = image_->data = nullptr;
    throw CaptureError::streamFailed(std::string("shared memory: ") + std::strerror(errno));
  }
  shm_.readOnly = False;
  XShmAttach(d_, &shm_);
  XSync(d_, False);
  if (!connection_.errorsSince(serial).empty()) throw xFailure(connection_, serial, "XShmAttach");
  attached_ = true;
  if (source_.width != width_ || source_.height != height_) {
    scaled_.resize(std::size_t(width_) * height_ * 4);
  } else {
    scaled_.clear();
  }
}

// Frees the image and the segment; detaches it from the server first while the connection
// lasts.
void Capturer::release() {
  if (!image_) return;
  if (attached_ && !connection_.isLost()) {
    XShmDetach(d_, &shm_);
    XSync(d_, False);
  }
  attached_ = false;
  if (shm_.shmaddr) shmdt(shm_.shmaddr);
  image_->data = nullptr;
  XDestroyImage(image_);
  image_ = nullptr;
  shm_ = {};
}

void Capturer::begin() {
  const unsigned long serial = connection_.nextSerial();
  try {
    if (!locate()) throw CaptureError::streamFailed(target_.text() + " is not shown");
    attachImage();
    pool_ = runtime::BufferPool::make(streaming::PixelBuffer::byteSize(width_, height_, width_), 0,
                                      kQueueDepth);
    // One report when the damage stops being empty: however much is drawn, a capture thread
    // that cannot read leaves one report waiting, not a queue that grows with the drawing. The
    // next tick takes the damage, tests it against the picture and drops it, so that the
    // region the server keeps for us, which every later drawing request adds to, holds no more
    // than a frame interval's drawing; then the next drawing reports again.
    damage_ = XDamageCreate(d_, isDisplay() ? root_ : window_, XDamageReportNonEmpty);
    damaged_ = XFixesCreateRegion(d_, nullptr, 0);
    watchedRegion_ = XFixesCreateRegion(d_, nullptr, 0);
    XFixesSelectCursorInput(d_, root_, XFixesDisplayCursorNotifyMask);
    XRRSelectInput(d_, root_,
                   RRScreenChangeNotifyMask | RRCrtcChangeNotifyMask | RROutputChangeNotifyMask);
    if (!isDisplay()) XSelectInput(d_, window_, StructureNotifyMask);
    selectMotion(true);
    selected_ = true;
    XSync(d_, False);
    if (!connection_.errorsSince(serial).empty()) throw xFailure(connection_, serial, "set-up");
  } catch (...) {
    end();
    throw;
  }
  running_ = true;
  changed_ = true;
  watchPointer();
  pump();
  schedule();
}

void Capturer::end() {
  running_ = false;
  timer_.cancel();
  if (!connection_.isLost()) {
    if (damage_) XDamageDestroy(d_, damage_);
    if (damaged_) XFixesDestroyRegion(d_, damaged_);
    if (watchedRegion_) XFixesDestroyRegion(d_, watchedRegion_);
    if (selected_) {
      XFixesSelectCursorInput(d_, root_, 0);
      XRRSelectInput(d_, root_, 0);
      if (!isDisplay()) XSelectInput(d_, window_, NoEventMask);
      selectMotion(false);
    }
    if (pixmap_) XFreePixmap(d_, pixmap_);
    if (redirected_) XCompositeUnredirectWindow(d_, window_, CompositeRedirectAutomatic);
  }
  damage_ = 0;
  damaged_ = watchedRegion_ = 0;
  reported_ = drawnSince_ = pointerMoved_ = false;
  selected_ = false;
  pixmap_ = 0;
  redirected_ = false;
  release();
}

void Capturer::systemStop(std::string description) {
  if (!running_) return;
  end();
  ending_->fromWorker(std::move(description));
}

// The pointer's motion wakes the capture, which then asks where the pointer is: a still pointer
// costs no round trip. A device's own motion is reported wherever the pointer is; synthetic
// motion (XTest) has no raw events and is reported where no window below takes motion events.
// Without XInput 2 every tick asks.
void Capturer::selectMotion(bool on) {
  if (!extensions_.rawMotion) return;
  unsigned char raw[XIMaskLen(XI_LASTEVENT)] = {}, motion[XIMaskLen(XI_LASTEVENT)] = {};
  if (on) {
    XISetMask(raw, XI_RawMotion);
    XISetMask(motion, XI_Motion);
  }
  const int length = on ? int(sizeof raw) : 0;
  XIEventMask masks[] = {{XIAllDevices, length, raw}, {XIAllMasterDevices, length, motion}};
  XISelectEvents(d_, root_, masks, 2);
}

bool Capturer::needsTick() const {
  return changed_ || requested_ || reported_ || drawnSince_ || pointerMoved_ ||
         !extensions_.rawMotion;
}

void Capturer::schedule() {
  if (!running_ || ticking_) return;
  // Ticks keep their cadence; one that came late does not push the next ones back. A still
  // picture with nothing drawn and a still pointer has none.
  const auto now = SteadyClock::now();
  // A frame held back by the frame interval is taken as soon as the interval allows.
  const auto after = changed_ || requested_ ? lastGrab_ : due_;
  due_ = std::max(after + kFrameInterval, now);
  ticking_ = true;
  timer_.expires_at(due_);
  std::weak_ptr<Capturer> weak = weak_from_this();
  timer_.async_wait([weak](boost::system::error_code error) {
    auto self = weak.lock();
    if (!self) return;
    self->ticking_ = false;
    if (!error) self->tick();
  });
}

void Capturer::tick() {
  if (!running_) return;
  if (connection_.isLost()) {
    // The connection's own notice tells the owner; nothing more can be asked of the server.
    running_ = false;
    return;
  }
  // The events handled below may schedule the next tick, which moves due_ on.
  const auto at = due_;
  if (std::exchange(pointerMoved_, false) || !extensions_.rawMotion) watchPointer();
  // Xlib reads events while it waits for a reply: those of the ticks' round trips sit in its
  // queue, where the connection's watch on the socket does not see them.
  connection_.drainEvents();
  if (!running_ || connection_.isLost()) return;
  // Each tick takes what was drawn since the last one.
  if (reported_ || drawnSince_) {
    if (changed_) {
      // A grab is due and shows everything: what was drawn can go unseen.
      XDamageSubtract(d_, damage_, 0, 0);
      reported_ = drawnSince_ = false;
    } else {
      look();
    }
  }
  // Measured from the tick's due time, so that ticks a frame interval apart always may grab.
  pump(at);
  connection_.drainEvents();
}

// A pointer that moves over the picture, or leaves it, changes what the frame shows.
void Capturer::watchPointer() {
  Window root = 0, child = 0;
  int x = 0, y = 0, wx = 0, wy = 0;
  unsigned int mask = 0;
  if (!XQueryPointer(d_, root_, &root, &child, &x, &y, &wx, &wy, &mask)) return;
  const Rect screen{originX_, originY_, source_.width, source_.height};
  const bool inside = screen.contains(x, y);
  if ((x != pointerX_ || y != pointerY_) && (inside || pointerInside_)) changed_ = true;
  pointerX_ = x;
  pointerY_ = y;
  pointerInside_ = inside;
}

void Capturer::onEvent(XEvent& event) {
  if (!running_) return;
  if (event.type == extensions_.damageEvent + XDamageNotify) {
    const auto& damage = reinterpret_cast<const XDamageNotifyEvent&>(event);
    if (damage.damage != damage_) return;
    drawnSince_ = true;
    if (watched_.meets(damage.area)) reported_ = true;
  } else if (event.type == GenericEvent && event.xcookie.extension == extensions_.inputOpcode &&
             (event.xcookie.evtype == XI_RawMotion || event.xcookie.evtype == XI_Motion)) {
    pointerMoved_ = true;
  } else if (event.type == extensions_.fixesEvent + XFixesCursorNotify) {
    if (pointerInside_) changed_ = true;
  } else if (event.type == extensions_.randrEvent + RRScreenChangeNotify ||
             event.type == extensions_.randrEvent + RRNotify ||
             (event.type == ConfigureNotify && event.xconfigure.window == window_)) {
    if (event.type == extensions_.randrEvent + RRScreenChangeNotify) XRRUpdateConfiguration(&event);
    const Rect before = source_;
    if (!locate()) {
      systemStop(isDisplay() ? "display switched off" : "window gone");
      return;
    }
    if (source_.width != before.width || source_.height != before.height) {
      release();
      try {
        attachImage();
      } catch (const CaptureError& error) {
        systemStop(error.description());
        return;
      }
    }
    if (!(source_ == before)) changed_ = true;
  } else if ((event.type == DestroyNotify && event.xdestroywindow.window == window_) ||
             (event.type == UnmapNotify && event.xunmap.window == window_)) {
    systemStop("window gone");
  }
}

// Takes the damage so far from the server and notes a change when any of it falls on the
// picture; the damage starts again from nothing.
void Capturer::look() {
  reported_ = drawnSince_ = false;
  XRectangle watched{short(watched_.x), short(watched_.y), (unsigned short)(watched_.width),
                     (unsigned short)(watched_.height)};
  XFixesSetRegion(d_, watchedRegion_, &watched, 1);
  XDamageSubtract(d_, damage_, 0, damaged_);
  XFixesIntersectRegion(d_, damaged_, damaged_, watchedRegion_);
  int count = 0;
  // Null when the connection is lost, which the connection reports itself.
  if (XRectangle* parts = XFixesFetchRegion(d_, damaged_, &count)) {
    if (count > 0) changed_ = true;
    XFree(parts);
  }
  if (!changed_) lastEmptyLook_ = SteadyClock::now();
}

void Capturer::pump(SteadyClock::time_point at) {
  if (!running_ || connection_.isLost()) return;
  frame(at);
  if (needsTick()) schedule();
}

void Capturer::frame(SteadyClock::time_point at) {
  // Damage that comes to meet the picture is looked at at once, unless a look found nothing
  // less than a frame interval ago (drawing all around the picture): then the next tick does.
  // A look that finds a change is paid for by its frame.
  if (reported_ && !changed_ && SteadyClock::now() - lastEmptyLook_ >= kFrameInterval) look();
  if (!(changed_ || requested_)) return;
  if (at - lastGrab_ < kFrameInterval) return;  // a later tick takes it
  if (!grab()) return;
  changed_ = requested_ = false;
  // The picture shows all damage so far, which the grab took away.
  reported_ = drawnSince_ = false;
  lastGrab_ = at;
}

bool Capturer::grab() {
  runtime::BufferPool::Buffer buffer = pool_->acquire();
  if (!buffer) {
    // Every picture is still on its way to the encoder: this one is dropped, once a line per
    // run of them, and the change waits for a buffer to come back. Capture never waits here.
    if (!starved_) {
      starved_ = true;
      const auto now = std::chrono::duration<double>(SteadyClock::now().time_since_epoch());
      logger().debug("Dropped frame at %f", now.count());
    }
    return false;
  }
  starved_ = false;
  // The picture's time is when it was taken; damage so far is what it shows.
  const auto time = SteadyClock::now().time_since_epoch();
  XDamageSubtract(d_, damage_, 0, 0);
  if (!XShmGetImage(d_, drawable_, image_, source_.x, source_.y, AllPlanes)) return false;
  if (pointerInside_) drawCursor();
  auto picture =
      std::make_shared<streaming::PixelBuffer>(std::move(buffer), width_, height_, width_);
  const auto* pixels = reinterpret_cast<const std::uint8_t*>(image_->data);
  int stride = image_->bytes_per_line;
  if (!scaled_.empty()) {
    libyuv::ARGBScale(pixels, stride, source_.width, source_.height, scaled_.data(), width_ * 4,
                      width_, height_, libyuv::kFilterBilinear);
    pixels = scaled_.data();
    stride = width_ * 4;
  }
  // X's 32-bit pixels are B, G, R, A in memory: libyuv's ARGB. BT.601, limited range.
  libyuv::ARGBToNV12(pixels, stride, picture->mutablePlaneY().data(), width_,
                     picture->mutablePlaneUV().data(), width_, width_, height_);
  const protocol::MediaTime at{std::chrono::duration_cast<std::chrono::nanoseconds>(time).count(),
                               kNanoseconds};
  deliver_({std::move(picture), at, streaming::FrameStatus::complete});
  return true;
}

// The pointer's image over the picture, its premultiplied alpha blended in.
void Capturer::drawCursor() {
  XFixesCursorImage* cursor = XFixesGetCursorImage(d_);
  if (!cursor) return;
  const int left = cursor->x - cursor->xhot - originX_;
  const int top = cursor->y - cursor->yhot - originY_;
  for (int cy = std::max(0, -top); cy < cursor->height && top + cy < source_.height; ++cy) {
    auto* row = reinterpret_cast<std::uint8_t*>(image_->data) +
                std::size_t(top + cy) * image_->bytes_per_line;
    for (int cx = std::max(0, -left); cx < cursor->width && left + cx < source_.width; ++cx) {
      const auto argb = static_cast<std::uint32_t>(cursor->pixels[cy * cursor->width + cx]);
      const std::uint32_t alpha = argb >> 24;
      if (alpha == 0) continue;
      std::uint8_t* px = row + std::size_t(left + cx) * 4;
      for (int c = 0; c < 3; ++c) {
        const std::uint32_t source = (argb >> (8 * c)) & 0xFF;
        px[c] = std::uint8_t(std::min<std::uint32_t>(255, source + px[c] * (255 - alpha) / 255));
      }
    }
  }
  XFree(cursor);
}

}  // namespace brindlet::platform::x11capture
