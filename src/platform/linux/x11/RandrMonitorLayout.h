#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <string>

#include <boost/asio/awaitable.hpp>

#include "desktop/MonitorLayout.h"

namespace brindlet::platform {

class X11Connection;

// The RandR monitors of an X screen, kept current on a connection of their own: every RandR
// change the server reports reads them again, so that a monitor that goes is gone here too.
class RandrMonitorLayout final : public desktop::MonitorLayout {
 public:
  // Without the display every output counts as shown by no monitor.
  static boost::asio::awaitable<std::shared_ptr<RandrMonitorLayout>> open(std::string display);
  ~RandrMonitorLayout() override;

  std::optional<desktop::Rect> monitorOf(std::uint32_t output) const override;
  boost::asio::awaitable<void> refresh() override;
  std::vector<desktop::Monitor> all() const override;
  boost::asio::awaitable<std::optional<desktop::RootPoint>> pointer() override;

  struct Shared {
    mutable std::mutex mutex;
    std::vector<desktop::Monitor> monitors;  // under the mutex
  };

 private:
  RandrMonitorLayout(std::unique_ptr<X11Connection> connection, std::shared_ptr<Shared> shared);

  std::shared_ptr<Shared> shared_;
  std::unique_ptr<X11Connection> connection_;
};

}  // namespace brindlet::platform
