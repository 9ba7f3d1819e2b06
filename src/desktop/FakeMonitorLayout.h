#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <vector>

#include <boost/asio/awaitable.hpp>

#include "desktop/MonitorLayout.h"

namespace brindlet::desktop {

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
  // One monitor for each output, in the outputs' order.
  std::vector<Monitor> all() const override {
    std::vector<Monitor> found;
    for (const auto& [output, area] : monitors) found.push_back({area, false, {output}});
    return found;
  }
  boost::asio::awaitable<std::optional<RootPoint>> pointer() override { co_return std::nullopt; }
};

}  // namespace brindlet::desktop
