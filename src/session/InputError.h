#pragma once

#include <variant>

#include "runtime/Error.h"

namespace brindlet::session {

// Why input could not be injected: the display does not let us post input (no XTest), or an
// event could not be made.
class InputError : public runtime::Error {
 public:
  struct NoAccessibility {
    friend bool operator==(const NoAccessibility&, const NoAccessibility&) = default;
  };
  struct EventCreationFailed {
    friend bool operator==(const EventCreationFailed&, const EventCreationFailed&) = default;
  };
  using Payload = std::variant<NoAccessibility, EventCreationFailed>;

  static InputError noAccessibility();
  static InputError eventCreationFailed();

  const Payload& payload() const { return payload_; }
  friend bool operator==(const InputError& a, const InputError& b) {
    return a.payload_ == b.payload_;
  }

 private:
  InputError(Payload payload, const char* name);
  Payload payload_;
};

}  // namespace brindlet::session
