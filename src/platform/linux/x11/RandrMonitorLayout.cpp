#include "platform/linux/x11/RandrMonitorLayout.h"

#include <X11/Xlib.h>
#include <X11/extensions/Xrandr.h>

#include <algorithm>

#include "desktop/DesktopError.h"
#include "platform/linux/x11/X11Connection.h"

namespace brindlet::platform {

using boost::asio::awaitable;

namespace {

std::vector<desktop::Monitor> readMonitors(Display* d) {
  std::vector<desktop::Monitor> found;
  int count = 0;
  XRRMonitorInfo* monitors = XRRGetMonitors(d, DefaultRootWindow(d), True, &count);
  for (int m = 0; m < count; ++m) {
    const XRRMonitorInfo& monitor = monitors[m];
    desktop::Monitor& shown = found.emplace_back();
    shown.area = {monitor.x, monitor.y, monitor.width, monitor.height};
    shown.primary = monitor.primary;
    for (int o = 0; o < monitor.noutput; ++o)
      shown.outputs.push_back(static_cast<std::uint32_t>(monitor.outputs[o]));
  }
  if (monitors) XRRFreeMonitors(monitors);
  return found;
}

void store(RandrMonitorLayout::Shared& shared, std::vector<desktop::Monitor> monitors) {
  std::lock_guard lock(shared.mutex);
  shared.monitors = std::move(monitors);
}

}  // namespace

awaitable<std::shared_ptr<RandrMonitorLayout>> RandrMonitorLayout::open(std::string display) {
  auto shared = std::make_shared<Shared>();
  std::unique_ptr<X11Connection> connection;
  try {
    connection = co_await X11Connection::open(display, "monitors");
    X11Connection* raw = connection.get();
    // Events arrive on the connection's worker: any RandR change marks the monitors stale, and
    // they are read again once the events read so far are handled.
    auto watch = [raw, shared](Display* d) {
      int eventBase = 0, errorBase = 0;
      if (!XRRQueryExtension(d, &eventBase, &errorBase)) return;
      XRRSelectInput(d, DefaultRootWindow(d),
                     RRScreenChangeNotifyMask | RRCrtcChangeNotifyMask | RROutputChangeNotifyMask);
      auto stale = std::make_shared<bool>(false);
      raw->setEventHandler(
          [eventBase, stale](XEvent& event) {
            if (event.type == eventBase + RRScreenChangeNotify ||
                event.type == eventBase + RRNotify)
              *stale = true;
          },
          [raw, shared, stale] {
            if (!*stale) return;
            *stale = false;
            store(*shared, readMonitors(raw->display()));
          });
      // A server that went away shows nothing any more.
      raw->setLostHandler([shared] { store(*shared, {}); });
      store(*shared, readMonitors(d));
    };
    co_await connection->call(std::move(watch));
  } catch (const desktop::DesktopError&) {
    connection.reset();
  }
  co_return std::shared_ptr<RandrMonitorLayout>(
      new RandrMonitorLayout(std::move(connection), std::move(shared)));
}

RandrMonitorLayout::RandrMonitorLayout(std::unique_ptr<X11Connection> connection,
                                       std::shared_ptr<Shared> shared)
    : shared_(std::move(shared)), connection_(std::move(connection)) {}

RandrMonitorLayout::~RandrMonitorLayout() = default;

std::optional<desktop::Rect> RandrMonitorLayout::monitorOf(std::uint32_t output) const {
  std::lock_guard lock(shared_->mutex);
  for (const auto& monitor : shared_->monitors) {
    const auto& outputs = monitor.outputs;
    if (std::find(outputs.begin(), outputs.end(), output) != outputs.end()) return monitor.area;
  }
  return std::nullopt;
}

std::vector<desktop::Monitor> RandrMonitorLayout::all() const {
  std::lock_guard lock(shared_->mutex);
  return shared_->monitors;
}

awaitable<std::optional<desktop::RootPoint>> RandrMonitorLayout::pointer() {
  if (!connection_) co_return std::nullopt;
  auto query = [](Display* d) -> std::optional<desktop::RootPoint> {
    Window root = 0, child = 0;
    int x = 0, y = 0, windowX = 0, windowY = 0;
    unsigned int buttons = 0;
    if (!XQueryPointer(d, DefaultRootWindow(d), &root, &child, &x, &y, &windowX, &windowY,
                       &buttons))
      return std::nullopt;
    return desktop::RootPoint{x, y};
  };
  try {
    co_return co_await connection_->call(std::move(query));
  } catch (const desktop::DesktopError&) {
    co_return std::nullopt;
  }
}

awaitable<void> RandrMonitorLayout::refresh() {
  if (!connection_) co_return;
  auto read = [](Display* d) { return readMonitors(d); };
  try {
    auto monitors = co_await connection_->call(std::move(read));
    store(*shared_, std::move(monitors));
  } catch (const desktop::DesktopError&) {
    // A lost server shows no monitors.
    store(*shared_, {});
  }
}

}  // namespace brindlet::platform
