#pragma once

#include <gtest/gtest.h>

#include <string>

#include "protocol/ControlEnvelope.h"
#include "protocol/ProtocolError.h"

namespace brindlet::protocol::testing {

// The error a decode throws, or a failure naming the envelope it accepted.
inline std::string decodeError(std::string_view json) {
  try {
    const auto envelope = ControlEnvelope::decode(json);
    return "accepted as " + std::string(envelope.message.type());
  } catch (const ProtocolError& e) {
    return e.text();
  }
}

inline std::string malformed(std::string_view text) {
  return ProtocolError::malformedControl(std::string(text)).text();
}

inline std::string invalid(std::string_view type, std::string_view reason) {
  return ProtocolError::invalidMessage(std::string(type), std::string(reason)).text();
}

}  // namespace brindlet::protocol::testing
