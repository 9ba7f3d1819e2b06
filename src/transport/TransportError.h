#pragma once

#include <exception>
#include <string>
#include <string_view>
#include <variant>

#include "protocol/ProtocolError.h"
#include "runtime/Error.h"

namespace brindlet::transport {

// The one error of the transport. Its text is the value's form, "caseName(payload)".
class TransportError : public runtime::Error {
 public:
  enum class Case {
    connectionFailed,
    expectedHello,
    protocolViolation,
    usbmux,
    closed,
    helloTimeout,
    wrongCode,
    pairingLockedOut
  };

  static TransportError connectionFailed(std::string text);
  static TransportError expectedHello(std::string text);
  static TransportError protocolViolation(protocol::ProtocolError error);
  static TransportError usbmux(std::string text);
  static TransportError closed();
  static TransportError helloTimeout();
  static TransportError wrongCode();
  static TransportError pairingLockedOut();
  // What an operation failed with, as a transport error: a transport error as it is, a
  // cancellation as closed, anything else as connectionFailed with its text.
  static TransportError from(const std::exception_ptr& error);

  Case kind() const { return kind_; }
  // The text of connectionFailed, expectedHello and usbmux; empty for the other cases.
  const std::string& detail() const;
  // The error of protocolViolation; null for the other cases.
  const protocol::ProtocolError* protocolError() const {
    return std::get_if<protocol::ProtocolError>(&payload_);
  }

  friend bool operator==(const TransportError& a, const TransportError& b) {
    return a.kind_ == b.kind_ && a.payload_ == b.payload_;
  }

 private:
  using Payload = std::variant<std::monostate, std::string, protocol::ProtocolError>;
  TransportError(Case kind, Payload payload);

  Case kind_;
  Payload payload_;
};

std::string_view wordOf(TransportError::Case kind);

}  // namespace brindlet::transport
