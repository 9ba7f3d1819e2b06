#include "transport/Handshake.h"

#include "protocol/ControlEnvelope.h"
#include "protocol/Enums.h"
#include "runtime/OneShot.h"
#include "runtime/Timeout.h"
#include "transport/DeckTransport.h"
#include "transport/FrameConnection.h"

namespace brindlet::transport {
namespace {

using protocol::Hello;

protocol::ControlEnvelope readEnvelope(const protocol::Frame& frame) {
  try {
    return protocol::ControlEnvelope::of(frame);
  } catch (...) {
    throw TransportError::expectedHello(std::string(protocol::wordOf(frame.channel)) + " frame");
  }
}

boost::asio::awaitable<Hello> exchange(FrameConnection& connection, Hello local,
                                       runtime::Duration timeout) {
  protocol::ControlMessage localHello(std::move(local));
  co_await connection.send(std::move(localHello));
  auto receiving = connection.receive();
  auto first = co_await runtime::within(connection.clock(), timeout, std::move(receiving));
  if (!first) throw TransportError::helloTimeout();
  if (!*first) throw TransportError::closed();
  auto envelope = readEnvelope(**first);
  const Hello* hello = envelope.message.as<Hello>();
  if (!hello) throw TransportError::expectedHello(std::string(envelope.message.type()));
  std::optional<protocol::ProtocolError> mismatch;
  try {
    hello->checkVersion(protocol::DeckProtocol::supportedVersions());
  } catch (const protocol::ProtocolError& e) {
    mismatch = e;
  }
  if (mismatch) {
    std::optional<std::string> reason(protocol::ByeReason::versionMismatch);
    co_await connection.close(std::move(reason));
    throw TransportError::protocolViolation(*mismatch);
  }
  co_return *hello;
}

// The bye that tells the peer why the exchange failed, logged; nothing where the link is
// ending already or the fault is not the peer's.
std::optional<std::string> byeFor(const FrameConnection& connection, const TransportError& error,
                                  runtime::Duration timeout) {
  switch (error.kind()) {
    case TransportError::Case::helloTimeout:
      connection.reportFault("No hello within " + runtime::durationText(timeout) + "; closing");
      return std::string(protocol::ByeReason::helloTimeout);
    case TransportError::Case::expectedHello:
      connection.reportFault("First frame was " + error.detail() + ", not hello; closing");
      return std::string(protocol::ByeReason::protocolViolation);
    default:
      return std::nullopt;
  }
}

}  // namespace

namespace Handshake {

boost::asio::awaitable<Hello> run(std::shared_ptr<FrameConnection> connection, Hello local,
                                  runtime::Duration timeout) {
  std::exception_ptr failure;
  try {
    auto peer = co_await exchange(*connection, std::move(local), timeout);
    connection->helloDone();
    co_return peer;
  } catch (...) {
    failure = std::current_exception();
  }
  // A cancelled caller still gets its link closed: the cancellation becomes `closed`.
  if (runtime::isCancellation(failure)) co_await boost::asio::this_coro::reset_cancellation_state();
  const TransportError error = TransportError::from(failure);
  // Without a bye the link is only cut; close() does nothing to a link that is closed already.
  auto bye = byeFor(*connection, error, timeout);
  co_await connection->close(std::move(bye));
  throw error;
}

}  // namespace Handshake

}  // namespace brindlet::transport
