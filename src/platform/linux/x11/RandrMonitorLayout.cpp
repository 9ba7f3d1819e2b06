#include "platform/linux/x11/RandrMonitorLayout.h"

#include <X11/Xlib.h>
#include <X11/extensions/Xrandr.h>

#include "desktop/DesktopError.h"
#include "platform/linux/x11/X11Connection.h"

namespace brindlet::platform {

using boost::asio::awaitable;

namespace {

std::map<std::uint32_t, desktop::Rect> readMonitors(Display* d) {
  std::map<std::uint32_t, desktop::Rect> byOutput;
  int count = 0;
  XRRMonitorInfo* monitors = XRRGetMonitors(d, DefaultRootWindow(d), True, &count);
  for (int m = 0; m < count; ++m) {
    const XRRMonitorInfo& monitor = monitors[m];
    const desktop::Rect rect{monitor.x, monitor.y, monitor.width, monitor.height};
    for (int o = 0; o < monitor.noutput; ++o)
      byOutput[static_cast<std::uint32_t>(monitor.outputs[o])] = rect;
  }
  if (monitors) XRRFreeMonitors(monitors);
  return byOutput;
}

void store(RandrMonitorLayout::Shared& shared, std::map<std::uint32_t, desktop::Rect> byOutput) {
  std::lock_guard lock(shared.mutex);
  shared.byOutput = std::move(byOutput);
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
  auto found = shared_->byOutput.find(output);
  if (found == shared_->byOutput.end()) return std::nullopt;
  return found->second;
}

awaitable<void> RandrMonitorLayout::refresh() {
  if (!connection_) co_return;
  auto read = [](Display* d) { return readMonitors(d); };
  try {
    auto byOutput = co_await connection_->call(std::move(read));
    store(*shared_, std::move(byOutput));
  } catch (const desktop::DesktopError&) {
    // A lost server shows no monitors.
    store(*shared_, {});
  }
}

}  // namespace brindlet::platform
