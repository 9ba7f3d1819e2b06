#pragma once

#include <cstdint>
#include <map>
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

// Monitors the test sets by hand; counts the refreshes it was asked for.
class FakeMonitorLayout final : public MonitorLayout {
 public:
  std::map<std::uint32_t, Rect> monitors;
  int refreshes = 0;

  std::optional<Rect> monitorOf(std::uint32_t output) const override {
    auto found = monitors.find(output);
    if (found == monitors.end()) return std::nullopt;
    return found->second;
  }
  boost::asio::awaitable<void> refresh() override {
    ++refreshes;
    co_return;
  }
};

}  // namespace brindlet::desktop
