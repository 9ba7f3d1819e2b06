#pragma once

#include <cstdint>
#include <string>
#include <variant>

#include "runtime/Error.h"

namespace brindlet::desktop {

// Why a window or display operation failed: the window is gone, the display refused a request,
// or the connection to the display is closed.
class DesktopError : public runtime::Error {
 public:
  struct NoSuchWindow {
    std::uint64_t window;
    friend bool operator==(const NoSuchWindow&, const NoSuchWindow&) = default;
  };
  struct RequestFailed {
    std::string request;  // the request's name, "GetWindowAttributes"
    std::int32_t code;    // the display's error code
    friend bool operator==(const RequestFailed&, const RequestFailed&) = default;
  };
  struct Disconnected {
    std::string display;
    friend bool operator==(const Disconnected&, const Disconnected&) = default;
  };
  using Payload = std::variant<NoSuchWindow, RequestFailed, Disconnected>;

  static DesktopError noSuchWindow(std::uint64_t window);
  static DesktopError requestFailed(std::string request, std::int32_t code);
  static DesktopError disconnected(std::string display);

  const Payload& payload() const { return payload_; }
  friend bool operator==(const DesktopError& a, const DesktopError& b) {
    return a.payload_ == b.payload_;
  }

 private:
  explicit DesktopError(Payload payload);
  Payload payload_;
};

}  // namespace brindlet::desktop
