#pragma once

#include <cstdint>
#include <string>
#include <variant>
#include <vector>

#include "runtime/Error.h"

namespace brindlet::protocol {

enum class Channel : std::uint8_t;

// The error of the frame and control layers. Its text is "caseName(payload)".
class ProtocolError : public runtime::Error {
 public:
  struct Oversized {
    std::int64_t length;
    friend bool operator==(const Oversized&, const Oversized&) = default;
  };
  struct UnknownChannel {
    std::uint8_t byte;
    friend bool operator==(const UnknownChannel&, const UnknownChannel&) = default;
  };
  struct Truncated {
    std::int64_t needed;
    std::int64_t available;
    friend bool operator==(const Truncated&, const Truncated&) = default;
  };
  struct TrailingBytes {
    std::int64_t count;
    friend bool operator==(const TrailingBytes&, const TrailingBytes&) = default;
  };
  struct VersionMismatch {
    std::int64_t peer;
    std::vector<std::int64_t> supported;  // ascending
    friend bool operator==(const VersionMismatch&, const VersionMismatch&) = default;
  };
  struct MalformedControl {
    std::string text;
    friend bool operator==(const MalformedControl&, const MalformedControl&) = default;
  };
  struct InvalidMessage {
    std::string type;
    std::string reason;
    friend bool operator==(const InvalidMessage&, const InvalidMessage&) = default;
  };
  struct NotControl {
    Channel channel;
    friend bool operator==(const NotControl&, const NotControl&) = default;
  };

  using Payload = std::variant<Oversized, UnknownChannel, Truncated, TrailingBytes, VersionMismatch,
                               MalformedControl, InvalidMessage, NotControl>;

  static ProtocolError oversized(std::int64_t length);
  static ProtocolError unknownChannel(std::uint8_t byte);
  static ProtocolError truncated(std::int64_t needed, std::int64_t available);
  static ProtocolError trailingBytes(std::int64_t count);
  static ProtocolError versionMismatch(std::int64_t peer, std::vector<std::int64_t> supported);
  static ProtocolError malformedControl(std::string text);
  static ProtocolError invalidMessage(std::string type, std::string reason);
  static ProtocolError notControl(Channel channel);

  const Payload& payload() const { return payload_; }
  template <class T>
  const T* as() const {
    return std::get_if<T>(&payload_);
  }

  friend bool operator==(const ProtocolError& a, const ProtocolError& b) {
    return a.payload_ == b.payload_;
  }

 private:
  explicit ProtocolError(Payload payload);
  Payload payload_;
};

}  // namespace brindlet::protocol
