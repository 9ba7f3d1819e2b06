#include "transport/TransportError.h"

#include <array>

namespace brindlet::transport {
namespace {

std::string describe(TransportError::Case kind, const std::string* text,
                     const protocol::ProtocolError* error) {
  runtime::ErrorText out(wordOf(kind));
  if (text) out.text("", *text);
  if (error) out.word("", error->text());
  return out;
}

}  // namespace

std::string_view wordOf(TransportError::Case kind) {
  static constexpr std::array<std::string_view, 8> words = {
      "connectionFailed", "expectedHello", "protocolViolation", "usbmux",
      "closed",           "helloTimeout",  "wrongCode",         "pairingLockedOut"};
  return words[static_cast<std::size_t>(kind)];
}

TransportError::TransportError(Case kind, Payload payload)
    : runtime::Error(describe(kind, std::get_if<std::string>(&payload),
                              std::get_if<protocol::ProtocolError>(&payload))),
      kind_(kind),
      payload_(std::move(payload)) {}

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

const std::string& TransportError::detail() const {
  static const std::string none;
  const auto* text = std::get_if<std::string>(&payload_);
  return text ? *text : none;
}

}  // namespace brindlet::transport
