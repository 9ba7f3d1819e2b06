#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include <boost/asio/awaitable.hpp>

#include "runtime/Observable.h"

namespace brindlet::desktop {

using WindowId = std::uint64_t;

// Pixels in root-window coordinates: origin at the top left, y growing downwards.
struct Rect {
  int x = 0;
  int y = 0;
  int width = 0;
  int height = 0;
  bool contains(int px, int py) const {
    return px >= x && py >= y && px < x + width && py < y + height;
  }
  friend bool operator==(const Rect&, const Rect&) = default;
};

// What the window manager draws around a window, in pixels on each side.
struct FrameExtents {
  int left = 0;
  int right = 0;
  int top = 0;
  int bottom = 0;
  friend bool operator==(const FrameExtents&, const FrameExtents&) = default;
};

struct WindowInfo {
  WindowId id = 0;
  std::string windowClass;  // WM_CLASS class: the app's id
  std::string instance;     // WM_CLASS instance
  std::optional<std::int32_t> pid;
  std::string title;               // _NET_WM_NAME, else WM_NAME
  std::vector<std::string> types;  // window types without their prefix, "normal", "dialog"
  bool fullScreen = false;
  bool hidden = false;  // minimised, or otherwise not shown (_NET_WM_STATE_HIDDEN)
  FrameExtents extents;
  Rect geometry;  // the window's own area, decorations not counted

  // The app the window belongs to: its class, when it has one and a process id.
  std::optional<std::string> appId() const;
  // The area with the decorations counted.
  Rect frame() const;
  friend bool operator==(const WindowInfo&, const WindowInfo&) = default;
};

struct WindowSnapshot {
  bool connected = false;
  bool windowManager = false;
  std::vector<WindowInfo> windows;  // managed windows in stacking order, bottom first
  std::optional<WindowId> active;

  const WindowInfo* find(WindowId id) const;
  const WindowInfo* activeWindow() const;
  friend bool operator==(const WindowSnapshot&, const WindowSnapshot&) = default;
};

// The computer's windows, the app in front and activation. The snapshot lives on the main loop
// and is read there without asking the display; operations throw DesktopError.
class WindowSystem {
 public:
  virtual ~WindowSystem() = default;

  using Subscription = runtime::Subscription;

  virtual WindowSnapshot snapshot() const = 0;
  // Called on the main loop with every changed snapshot, until the subscription ends.
  [[nodiscard]] virtual Subscription subscribe(
      std::function<void(const WindowSnapshot&)> callback) = 0;
  virtual boost::asio::awaitable<void> activate(WindowId window) = 0;
  virtual boost::asio::awaitable<void> raise(WindowId window) = 0;
  // Places the window so that its frame, decorations counted, covers the rectangle.
  virtual boost::asio::awaitable<void> moveResize(WindowId window, Rect frame) = 0;
};

}  // namespace brindlet::desktop
