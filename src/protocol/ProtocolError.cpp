#include "protocol/ProtocolError.h"

#include "protocol/Frame.h"

namespace brindlet::protocol {
namespace {

using runtime::ErrorText;

std::string describe(const ProtocolError::Payload& payload) {
  using E = ProtocolError;
  return std::visit(
      [](const auto& p) -> std::string {
        using T = std::decay_t<decltype(p)>;
        if constexpr (std::is_same_v<T, E::Oversized>) {
          return ErrorText("oversized").number("length", p.length);
        } else if constexpr (std::is_same_v<T, E::UnknownChannel>) {
          return ErrorText("unknownChannel").number("", p.byte);
        } else if constexpr (std::is_same_v<T, E::Truncated>) {
          return ErrorText("truncated").number("needed", p.needed).number("available", p.available);
        } else if constexpr (std::is_same_v<T, E::TrailingBytes>) {
          return ErrorText("trailingBytes").number("count", p.count);
        } else if constexpr (std::is_same_v<T, E::VersionMismatch>) {
          return ErrorText("versionMismatch").number("peer", p.peer).list("supported", p.supported);
        } else if constexpr (std::is_same_v<T, E::MalformedControl>) {
          return ErrorText("malformedControl").text("", p.text);
        } else if constexpr (std::is_same_v<T, E::InvalidMessage>) {
          return ErrorText("invalidMessage").text("type", p.type).text("reason", p.reason);
        } else {
          return ErrorText("notControl").word("", wordOf(p.channel));
        }
      },
      payload);
}

}  // namespace

ProtocolError::ProtocolError(Payload payload)
    : runtime::Error(describe(payload)), payload_(std::move(payload)) {}

ProtocolError ProtocolError::oversized(std::int64_t length) {
  return ProtocolError(Oversized{length});
}
ProtocolError ProtocolError::unknownChannel(std::uint8_t byte) {
  return ProtocolError(UnknownChannel{byte});
}
ProtocolError ProtocolError::truncated(std::int64_t needed, std::int64_t available) {
  return ProtocolError(Truncated{needed, available});
}
ProtocolError ProtocolError::trailingBytes(std::int64_t count) {
  return ProtocolError(TrailingBytes{count});
}
ProtocolError ProtocolError::versionMismatch(std::int64_t peer,
                                             std::vector<std::int64_t> supported) {
  return ProtocolError(VersionMismatch{peer, std::move(supported)});
}
ProtocolError ProtocolError::malformedControl(std::string text) {
  return ProtocolError(MalformedControl{std::move(text)});
}
ProtocolError ProtocolError::invalidMessage(std::string type, std::string reason) {
  return ProtocolError(InvalidMessage{std::move(type), std::move(reason)});
}
ProtocolError ProtocolError::notControl(Channel channel) {
  return ProtocolError(NotControl{channel});
}

}  // namespace brindlet::protocol
