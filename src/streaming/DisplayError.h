#pragma once

#include <cstdint>
#include <string>
#include <variant>

#include "runtime/Error.h"

namespace brindlet::streaming {

// Why attaching a virtual display failed. Its text is its plain descriptive form, "timedOut" or
// "invalidSize(width: 0, height: 900)", which is what logs and the session show.
class DisplayError : public runtime::Error {
 public:
  enum class Case { unavailable, invalidSize, creationFailed, settingsRejected, timedOut };

  static DisplayError unavailable(std::string reason);
  static DisplayError invalidSize(std::uint32_t width, std::uint32_t height);
  static DisplayError creationFailed();
  static DisplayError settingsRejected();
  static DisplayError timedOut();

  Case kind() const { return case_; }
  const std::string& reason() const { return reason_; }
  std::uint32_t width() const { return width_; }
  std::uint32_t height() const { return height_; }

  friend bool operator==(const DisplayError& a, const DisplayError& b) {
    return a.text() == b.text();
  }

 private:
  DisplayError(Case kind, std::string text) : runtime::Error(std::move(text)), case_(kind) {}

  Case case_;
  std::string reason_;
  std::uint32_t width_ = 0;
  std::uint32_t height_ = 0;
};

}  // namespace brindlet::streaming
