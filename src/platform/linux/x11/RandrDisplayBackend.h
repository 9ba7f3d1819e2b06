#pragma once

#include <memory>
#include <string>

#include <boost/asio/awaitable.hpp>

#include "streaming/DisplayBackend.h"

namespace brindlet::platform {

// Timings of one display mode, as the X server takes them.
struct ModeTimings {
  std::uint32_t width = 0, height = 0;
  std::uint64_t dotClock = 0;  // hertz
  std::uint32_t hSyncStart = 0, hSyncEnd = 0, hTotal = 0;
  std::uint32_t vSyncStart = 0, vSyncEnd = 0, vTotal = 0;
  friend bool operator==(const ModeTimings&, const ModeTimings&) = default;
};

// Coordinated video timings (standard blanking) for a size and refresh rate. The width is kept
// as asked, not rounded down to the 8-pixel cell, so that a display has exactly the pixels of
// the phone it shows.
ModeTimings cvtTimings(std::uint32_t width, std::uint32_t height, double refreshRate);

// Virtual displays as spare RandR outputs: a display is an output without a CRTC, lit on a free
// CRTC with a mode of its own, placed right of the monitors, the screen grown to hold it and a
// RandR monitor of the display's name over it. Its id is the output's XID. All X work runs on a
// connection of the backend's own; answers and terminations come back on the opening loop.
class RandrDisplayBackend : public streaming::DisplayBackend {
 public:
  // Never fails: without a display, probe says so and nothing can be made.
  static boost::asio::awaitable<std::shared_ptr<RandrDisplayBackend>> open(std::string display);
  ~RandrDisplayBackend() override;

  boost::asio::awaitable<streaming::VirtualDisplayAvailability> probe() override;
  boost::asio::awaitable<std::unique_ptr<streaming::DisplayHandle>> create(
      streaming::VirtualDisplayConfig config) override;
  boost::asio::awaitable<std::vector<std::uint32_t>> activeDisplayIds() override;
  boost::asio::awaitable<bool> isReady(std::uint32_t id) override;
  boost::asio::awaitable<std::optional<streaming::DisplayMode>> currentMode(
      std::uint32_t id) override;
  boost::asio::awaitable<std::vector<streaming::DisplayMode>> modes(std::uint32_t id) override;
  boost::asio::awaitable<int> setMode(std::uint32_t id, streaming::DisplayMode mode) override;
  void onTermination(TerminationHandler handler) override;

  struct Inner;

 private:
  explicit RandrDisplayBackend(std::shared_ptr<Inner> inner);
  std::shared_ptr<Inner> inner_;
};

}  // namespace brindlet::platform
