#include "app/linux/MonitorBounds.h"

#include <X11/Xlib.h>
#include <X11/extensions/Xrandr.h>

#include <memory>
#include <mutex>

namespace brindlet::app {

namespace {

struct Connection {
  explicit Connection(std::string name) : name(std::move(name)) {}
  ~Connection() {
    if (display) XCloseDisplay(display);
  }

  std::optional<session::DisplayRect> bounds(std::uint32_t id) {
    std::lock_guard lock(mutex);
    if (!display) display = XOpenDisplay(name.empty() ? nullptr : name.c_str());
    if (!display) return std::nullopt;
    int count = 0;
    XRRMonitorInfo* monitors = XRRGetMonitors(display, DefaultRootWindow(display), True, &count);
    std::optional<session::DisplayRect> found;
    for (int i = 0; i < count && !found; ++i) {
      const auto& monitor = monitors[i];
      for (int o = 0; o < monitor.noutput; ++o) {
        if (monitor.outputs[o] != id) continue;
        found = session::DisplayRect{{monitor.x, monitor.y, monitor.width, monitor.height}, 1};
        break;
      }
    }
    if (monitors) XRRFreeMonitors(monitors);
    return found;
  }

  std::string name;
  std::mutex mutex;
  Display* display = nullptr;
};

}  // namespace

session::HostSession::DisplayBounds monitorBounds(std::string display) {
  auto connection = std::make_shared<Connection>(std::move(display));
  return [connection](std::uint32_t id) { return connection->bounds(id); };
}

}  // namespace brindlet::app
