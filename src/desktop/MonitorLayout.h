#pragma once

#include <cstdint>
#include <optional>

#include <boost/asio/awaitable.hpp>

#include "desktop/WindowSystem.h"

namespace brindlet::desktop {

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
};

}  // namespace brindlet::desktop
