#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include <boost/asio/awaitable.hpp>

#include "desktop/WindowSystem.h"

namespace brindlet::desktop {

// One monitor of the desktop: its area and the outputs it shows.
struct Monitor {
  Rect area;
  bool primary = false;
  std::vector<std::uint32_t> outputs;
  friend bool operator==(const Monitor&, const Monitor&) = default;
};

// A point in root pixels.
struct RootPoint {
  int x = 0;
  int y = 0;
  friend bool operator==(const RootPoint&, const RootPoint&) = default;
};

// Where the desktop shows its outputs: the rectangle of the monitor each output belongs to, as
// window managers and input see it. Read on the main loop.
class MonitorLayout {
 public:
  virtual ~MonitorLayout() = default;
  // The rectangle, in root pixels, of the monitor that shows `output`; none when no monitor does.
  virtual std::optional<Rect> monitorOf(std::uint32_t output) const = 0;
  // Reads the monitors again: afterwards monitorOf answers at least what the server had when
  // this was called.
  virtual boost::asio::awaitable<void> refresh() = 0;
  // Every monitor as last read, in the desktop's order.
  virtual std::vector<Monitor> all() const = 0;
  // Where the pointer is now; none when the desktop cannot say.
  virtual boost::asio::awaitable<std::optional<RootPoint>> pointer() = 0;
};

}  // namespace brindlet::desktop
