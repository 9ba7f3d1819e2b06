#include "transport/TransportError.h"

#include "runtime/OneShot.h"

namespace brindlet::transport {
namespace {

std::string describe(TransportError::Case kind, const auto& payload) {
  runtime::ErrorText text(wordOf(kind));
  if (auto* s = std::get_if<std::string>(&payload)) text.text("", *s);
  if (auto* e = std::get_if<protocol::ProtocolError>(&payload)) text.word("", e->text());
  return text;
}

}  // namespace

TransportError::TransportError(Case kind, Payload payload)
    : runtime::Error(describe(kind, payload)), kind_(kind), payload_(std::move(payload)) {}

TransportError TransportError::connectionFailed(std::string text) {
  return {Case::connectionFailed, std::move(text)};
}
TransportError TransportError::expectedHello(std::string text) {
  return {Case::expectedHello, std::move(text)};
}
TransportError TransportError::protocolViolation(protocol::ProtocolError error) {
  return {Case::protocolViolation, std::move(error)};
}
TransportError TransportError::usbmux(std::string text) {
  return {Case::usbmux, std::move(text)};
}
TransportError TransportError::closed() {
  return {Case::closed, {}};
}
TransportError TransportError::helloTimeout() {
  return {Case::helloTimeout, {}};
}
TransportError TransportError::wrongCode() {
  return {Case::wrongCode, {}};
}
TransportError TransportError::pairingLockedOut() {
  return {Case::pairingLockedOut, {}};
}

TransportError TransportError::from(const std::exception_ptr& error) {
  if (runtime::isCancellation(error)) return closed();
  try {
    std::rethrow_exception(error);
  } catch (const TransportError& e) {
    return e;
  } catch (...) {
    return connectionFailed(runtime::describe(error));
  }
}

const std::string& TransportError::detail() const {
  static const std::string none;
  auto* s = std::get_if<std::string>(&payload_);
  return s ? *s : none;
}

std::string_view wordOf(TransportError::Case kind) {
  using C = TransportError::Case;
  switch (kind) {
    case C::connectionFailed:
      return "connectionFailed";
    case C::expectedHello:
      return "expectedHello";
    case C::protocolViolation:
      return "protocolViolation";
    case C::usbmux:
      return "usbmux";
    case C::closed:
      return "closed";
    case C::helloTimeout:
      return "helloTimeout";
    case C::wrongCode:
      return "wrongCode";
    case C::pairingLockedOut:
      return "pairingLockedOut";
  }
  return "?";
}

}  // namespace brindlet::transport
