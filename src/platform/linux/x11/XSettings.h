#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/awaitable.hpp>

#include "platform/linux/x11/X11Connection.h"
#include "runtime/Clock.h"

namespace brindlet::platform {

// The integer setting `name` in the bytes of an _XSETTINGS_SETTINGS property, if it is there
// and the bytes hold together.
std::optional<std::int32_t> xsettingsInteger(std::span<const unsigned char> settings,
                                             std::string_view name);

// The user's double-click interval, as the desktop's settings manager publishes it
// ("Net/DoubleClickTime", in milliseconds); 0.4 s while none runs. A call gives the value last
// read and has it read again in the background, so each press sees the setting of about its time
// without waiting for the display.
class X11DoubleClickInterval {
 public:
  static constexpr std::int64_t kFallbackMilliseconds = 400;

  static boost::asio::awaitable<std::unique_ptr<X11DoubleClickInterval>> open(std::string display);

  runtime::Duration operator()();
  // Reads the setting now.
  boost::asio::awaitable<runtime::Duration> refreshed();

 private:
  struct State {
    std::atomic<std::int64_t> milliseconds{kFallbackMilliseconds};
    std::atomic<bool> reading{false};
  };
  static boost::asio::awaitable<void> refresh(std::shared_ptr<X11Connection> connection,
                                              std::shared_ptr<State> state);
  X11DoubleClickInterval(std::shared_ptr<X11Connection> connection,
                         boost::asio::any_io_executor owner);

  std::shared_ptr<X11Connection> connection_;
  boost::asio::any_io_executor owner_;
  std::shared_ptr<State> state_ = std::make_shared<State>();
};

}  // namespace brindlet::platform
