#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include <boost/asio/awaitable.hpp>

#include "streaming/VirtualDisplay.h"

namespace brindlet::streaming {

// A display made by a backend. Destroying the handle starts removing the display; the backend's
// active list shows when it is gone.
class DisplayHandle {
 public:
  virtual ~DisplayHandle() = default;
  virtual std::uint32_t id() const = 0;
};

// One mode a display can run at.
struct DisplayMode {
  std::uint64_t id = 0;  // the backend's own name for it
  std::uint32_t pixelWidth = 0;
  std::uint32_t pixelHeight = 0;
  friend bool operator==(const DisplayMode&, const DisplayMode&) = default;
};

// What the windowing system offers for making displays. Every call runs on the caller's loop and
// answers there; only create fails (with DisplayError creationFailed or settingsRejected), the
// others answer "nothing" instead (an empty list, not ready, no mode).
class DisplayBackend {
 public:
  using TerminationHandler = std::function<void(std::uint32_t id)>;

  virtual ~DisplayBackend() = default;
  virtual boost::asio::awaitable<VirtualDisplayAvailability> probe() = 0;
  virtual boost::asio::awaitable<std::unique_ptr<DisplayHandle>> create(
      VirtualDisplayConfig config) = 0;
  virtual boost::asio::awaitable<std::vector<std::uint32_t>> activeDisplayIds() = 0;
  // Active, and shown to applications as a monitor.
  virtual boost::asio::awaitable<bool> isReady(std::uint32_t id) = 0;
  virtual boost::asio::awaitable<std::optional<DisplayMode>> currentMode(std::uint32_t id) = 0;
  virtual boost::asio::awaitable<std::vector<DisplayMode>> modes(std::uint32_t id) = 0;
  // 0 when the mode was set, else the system's result code.
  virtual boost::asio::awaitable<int> setMode(std::uint32_t id, DisplayMode mode) = 0;
  // Called on the caller's loop when something else switched one of our displays off.
  virtual void onTermination(TerminationHandler handler) = 0;
};

}  // namespace brindlet::streaming
