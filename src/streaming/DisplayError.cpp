#include "streaming/DisplayError.h"

namespace brindlet::streaming {

using runtime::ErrorText;

DisplayError DisplayError::unavailable(std::string reason) {
  DisplayError error(Case::unavailable, ErrorText("unavailable").text("reason", reason));
  error.reason_ = std::move(reason);
  return error;
}

DisplayError DisplayError::invalidSize(std::uint32_t width, std::uint32_t height) {
  DisplayError error(Case::invalidSize,
                     ErrorText("invalidSize").number("width", width).number("height", height));
  error.width_ = width;
  error.height_ = height;
  return error;
}

DisplayError DisplayError::creationFailed() {
  return DisplayError(Case::creationFailed, "creationFailed");
}
DisplayError DisplayError::settingsRejected() {
  return DisplayError(Case::settingsRejected, "settingsRejected");
}
DisplayError DisplayError::timedOut() {
  return DisplayError(Case::timedOut, "timedOut");
}

}  // namespace brindlet::streaming
