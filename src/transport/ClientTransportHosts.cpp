// What the phone transport does with each accepted connection: hosts, pairing requests and
// the pairing keys it hands out.

#include "protocol/ControlEnvelope.h"
#include "transport/ClientTransport.h"
#include "transport/FrameConnection.h"
#include "transport/Listener.h"
#include "transport/PairingCode.h"
#include "transport/TlsByteStream.h"

namespace brindlet::transport {

namespace asio = boost::asio;
using namespace std::chrono_literals;
using protocol::ByeReason::busy;
using protocol::ByeReason::pairingEnded;
using protocol::ByeReason::pairingLockedOut;
using protocol::ByeReason::protocolViolation;

namespace {

// How long an accepted connection (for TLS: its handshake) may take to become ready.
constexpr auto kConnectionStart = 2s;

asio::awaitable<void> closeLink(FrameConnection& link, std::string_view reason) {
  std::optional<std::string> bye{std::string(reason)};
  co_await link.close(std::move(bye));
}

asio::awaitable<bool> started(std::shared_ptr<runtime::ByteStream> connection,
                              std::shared_ptr<runtime::Clock> clock) {
  try {
    co_await startAndWait(connection, kConnectionStart, clock);
  } catch (...) {
    connection->cancel();
    co_return false;
  }
  co_return true;
}

// A TLS host must speak as the owner of the key it authenticated with: its own identity, or
// the pairing identity of the code it typed.
bool ownsKey(const std::string& keyIdentity, const std::optional<std::string>& uid) {
  return uid && (keyIdentity == *uid || keyIdentity == PairingCode::pairingIdentity(*uid));
}

}  // namespace

// The listener's place for an unfinished connection is held until the connection is served.
asio::awaitable<void> ClientTransport::connectionTask(
    std::weak_ptr<ClientTransport> weak, std::shared_ptr<runtime::ByteStream> connection,
    bool secure, Listener::Unfinished unfinished) {
  std::optional<Watch> watch;
  {
    auto self = weak.lock();
    if (!self) co_return;
    // Not a conditional expression: g++ 12 mishandles co_await in both of its branches.
    if (secure) {
      watch = co_await self->handleSecure(std::move(connection));
    } else {
      watch = co_await self->handlePlain(std::move(connection));
    }
  }
  unfinished.reset();
  if (watch) co_await follow(std::move(weak), std::move(*watch));
}

// Waits for the link's end holding the transport only weakly, then tells it.
asio::awaitable<void> ClientTransport::follow(std::weak_ptr<ClientTransport> weak, Watch watch) {
  std::string reason = co_await watch.link->closed();
  auto self = weak.lock();
  if (!self) co_return;
  co_await self->linkClosed(std::move(watch), std::move(reason));
}

asio::awaitable<void> ClientTransport::linkClosed(Watch watch, std::string reason) {
  if (watch.isPairingRequest) {
    // Only the request still on show; a pairing that ended another way is over already.
    if (pairingRequest_ == watch.link) co_await endPairing(std::nullopt, false, true);
  } else if (live_ == watch.link) {
    live_.reset();
    emit(ClientTransportEvents::Disconnected{std::move(reason)});
  }
}

std::shared_ptr<FrameConnection> ClientTransport::wrap(
    std::shared_ptr<runtime::ByteStream> connection) const {
  LinkOptions options;
  options.clock = clock_;
  return FrameConnection::make(std::move(connection), {}, options);
}

asio::awaitable<std::optional<ClientTransport::Watch>> ClientTransport::handlePlain(
    std::shared_ptr<runtime::ByteStream> connection) {
  if (!co_await started(connection, clock_)) co_return std::nullopt;
  auto link = wrap(connection);
  if (loopbackIsUSB_ && isLoopback(connection->remoteEndpoint())) {
    std::optional<std::string> noKey;
    co_return co_await acceptHost(std::move(link), true, std::move(noKey));
  }
  co_return co_await handlePairingRequest(std::move(link));
}

asio::awaitable<std::optional<ClientTransport::Watch>> ClientTransport::handleSecure(
    std::shared_ptr<runtime::ByteStream> connection) {
  if (!co_await started(connection, clock_)) {
    // Every failed TLS start while a code shows counts as a wrong code, whatever its cause.
    if (pairingCode_) co_await recordWrongCode();
    co_return std::nullopt;
  }
  auto tls = std::dynamic_pointer_cast<TlsByteStream>(connection);
  std::optional<std::string> keyIdentity(tls ? tls->pskIdentity() : std::string());
  auto link = wrap(std::move(connection));
  co_return co_await acceptHost(std::move(link), false, std::move(keyIdentity));
}

asio::awaitable<std::optional<ClientTransport::Watch>> ClientTransport::handlePairingRequest(
    std::shared_ptr<FrameConnection> link) {
  if (lockedUntil_ && clock_->now() < *lockedUntil_) {
    co_await closeLink(*link, pairingLockedOut);
    co_return std::nullopt;
  }
  if (pairingRequest_) {
    co_await closeLink(*link, busy);
    co_return std::nullopt;
  }
  std::optional<protocol::Hello> hello;
  try {
    hello = co_await Handshake::run(link, localHello_, helloTimeout_);
  } catch (const TransportError&) {
    // The exchange has closed the link on its failure, telling the peer where it was at fault.
  }
  if (!hello || !hello->uid || !localHello_.uid) {
    // After a failed exchange the link is closed already and this does nothing.
    co_await closeLink(*link, protocolViolation);
    co_return std::nullopt;
  }
  if (pairingRequest_ || !plain_) {
    co_await closeLink(*link, busy);
    co_return std::nullopt;
  }
  const std::string code = PairingCode::generate();
  pairingRequest_ = link;
  pairingCode_ = code;
  pairingHost_ = *hello->uid;
  failedAttempts_ = 0;
  co_await restartSecureNow();
  transportLog().info("%s asked to pair; showing a code", hello->name.c_str());
  emit(ClientTransportEvents::Pairing{code, hello->name});
  co_return Watch{std::move(link), true};
}

asio::awaitable<std::optional<ClientTransport::Watch>> ClientTransport::acceptHost(
    std::shared_ptr<FrameConnection> link, bool isUSB, std::optional<std::string> keyIdentity) {
  if (live_ || pending_ || !plain_) {
    transportLog().info("Refusing a second host: busy");
    co_await closeLink(*link, busy);
    co_return std::nullopt;
  }
  pending_ = link;
  emit(ClientTransportEvents::Connecting{});
  std::optional<protocol::Hello> hello;
  try {
    hello = co_await Handshake::run(link, localHello_, helloTimeout_);
  } catch (const TransportError&) {
    // The exchange has closed the link on its failure, telling the peer where it was at fault.
  }
  if (hello && keyIdentity && !ownsKey(*keyIdentity, hello->uid)) {
    transportLog().error("Host %s is not the owner of its key; closing", hello->name.c_str());
    co_await closeLink(*link, protocolViolation);
    hello.reset();
  }
  if (!hello) {
    // The exchange closed the link on its own failures.
    if (pending_ == link) {
      pending_.reset();
      emit(ClientTransportEvents::Disconnected{"hello failed"});
    }
    co_return std::nullopt;
  }
  if (pending_ != link) {
    // stop() dropped this host while it was saying hello.
    co_await closeLink(*link, protocol::ByeReason::backgrounded);
    co_return std::nullopt;
  }
  pending_.reset();
  live_ = link;
  if (hello->uid) {
    co_await issueKey(*hello->uid, link);
    if (pairingHost_ && *pairingHost_ == *hello->uid) {
      // The computer that asked to pair has arrived with the key.
      std::optional<std::string> ended(pairingEnded);
      co_await endPairing(std::move(ended), false, true);
    }
  }
  transportLog().info("Host %s connected over %s", hello->name.c_str(), isUSB ? "USB" : "Wi-Fi");
  emit(ClientTransportEvents::Connected{HostLink{link, *hello, isUSB}});
  co_return Watch{std::move(link), false};
}

asio::awaitable<void> ClientTransport::issueKey(std::string identity,
                                                std::shared_ptr<FrameConnection> link) {
  const auto existing = co_await store_->key(identity);
  const SymmetricKey key = existing ? *existing : PairingCode::newKey();
  if (!existing) {
    co_await store_->save(key, identity);
    transportLog().info("Paired with a new host");
  }
  try {
    protocol::ControlMessage message(protocol::PairOK{PairingCode::keyData(key)});
    co_await link->send(std::move(message));
  } catch (const TransportError& e) {
    // The host asks again on its next link; acceptance goes on.
    transportLog().debug("Send failed: %s", e.text().c_str());
  }
  // While a pairing is under way, the restart that ends it takes the new key in.
  if (!existing && !pairingHost_) co_await restartSecureNow();
}

asio::awaitable<void> ClientTransport::endPairing(std::optional<std::string> reason, bool lockedOut,
                                                  bool restart) {
  auto request = std::move(pairingRequest_);
  pairingRequest_.reset();
  pairingCode_.reset();
  pairingHost_.reset();
  failedAttempts_ = 0;
  if (request) co_await request->close(std::move(reason));
  if (restart) co_await restartSecureNow();
  emit(ClientTransportEvents::PairingEnded{lockedOut});
}

asio::awaitable<void> ClientTransport::recordWrongCode() {
  ++failedAttempts_;
  transportLog().info("Wrong pairing code (%ld of %ld)", long(failedAttempts_),
                      long(PairingCode::maxAttempts));
  if (failedAttempts_ < PairingCode::maxAttempts) co_return;
  lockedUntil_ = clock_->now() + PairingCode::lockout;
  std::optional<std::string> lockedOutReason(pairingLockedOut);
  co_await endPairing(std::move(lockedOutReason), true, true);
}

}  // namespace brindlet::transport
