#include "desktop/FakeWindowSystem.h"

#include <algorithm>

namespace brindlet::desktop {

FakeWindowSystem::FakeWindowSystem() {
  WindowSnapshot start;
  start.connected = true;
  start.windowManager = true;
  snapshot_.set(std::move(start));
}

std::size_t FakeWindowSystem::begin(Call call) {
  const WindowId window = call.window;
  calls_.push_back(std::move(call));
  if (!failures_.empty()) {
    DesktopError error = std::move(failures_.front());
    failures_.pop_front();
    throw error;
  }
  const auto windows = snapshot_.get().windows;
  auto found = std::find_if(windows.begin(), windows.end(),
                            [&](const WindowInfo& w) { return w.id == window; });
  if (found == windows.end()) throw DesktopError::noSuchWindow(window);
  return static_cast<std::size_t>(found - windows.begin());
}

boost::asio::awaitable<void> FakeWindowSystem::activate(WindowId window) {
  const std::size_t index = begin({"activate", window, std::nullopt});
  WindowSnapshot next = snapshot_.get();
  std::rotate(next.windows.begin() + static_cast<std::ptrdiff_t>(index),
              next.windows.begin() + static_cast<std::ptrdiff_t>(index) + 1, next.windows.end());
  next.active = window;
  snapshot_.set(std::move(next));
  co_return;
}

boost::asio::awaitable<void> FakeWindowSystem::raise(WindowId window) {
  const std::size_t index = begin({"raise", window, std::nullopt});
  WindowSnapshot next = snapshot_.get();
  std::rotate(next.windows.begin() + static_cast<std::ptrdiff_t>(index),
              next.windows.begin() + static_cast<std::ptrdiff_t>(index) + 1, next.windows.end());
  snapshot_.set(std::move(next));
  co_return;
}

boost::asio::awaitable<void> FakeWindowSystem::moveResize(WindowId window, Rect frame) {
  const std::size_t index = begin({"moveResize", window, frame});
  WindowSnapshot next = snapshot_.get();
  WindowInfo& info = next.windows[index];
  info.geometry = {frame.x + info.extents.left, frame.y + info.extents.top,
                   frame.width - info.extents.left - info.extents.right,
                   frame.height - info.extents.top - info.extents.bottom};
  snapshot_.set(std::move(next));
  co_return;
}

}  // namespace brindlet::desktop
