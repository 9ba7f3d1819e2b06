#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/awaitable.hpp>

#include "protocol/LinkMessages.h"
#include "runtime/AsyncQueue.h"
#include "runtime/ByteStream.h"
#include "runtime/Clock.h"
#include "transport/BonjourService.h"
#include "transport/DeckTransport.h"
#include "transport/Handshake.h"
#include "transport/PairingStore.h"
#include "transport/SecureChannel.h"

namespace brindlet::transport {

class FrameConnection;
class Listener;

// The live link of the computer that the phone serves.
struct HostLink {
  std::shared_ptr<FrameConnection> connection;
  protocol::Hello hello;  // the computer's hello as received
  bool isUSB = false;     // came through the plain listener from a loopback address
};

// What the phone transport reports to the phone application.
namespace ClientTransportEvents {
struct Connected {
  HostLink link;
};
struct Disconnected {
  std::string reason;
};
struct Pairing {
  std::string code;
  std::string host;  // the computer's display name
};
struct PairingEnded {
  bool lockedOut = false;
};
struct Connecting {};
}  // namespace ClientTransportEvents

using ClientTransportEvent =
    std::variant<ClientTransportEvents::Connected, ClientTransportEvents::Disconnected,
                 ClientTransportEvents::Pairing, ClientTransportEvents::PairingEnded,
                 ClientTransportEvents::Connecting>;

// "connected(Mac, USB)", "disconnected(closed)", "pairing(123456, Mac)",
// "pairingEnded(lockedOut: false)", "connecting".
std::string textOf(const ClientTransportEvent& event);

using ClientTransportEventStream = std::shared_ptr<runtime::AsyncQueue<ClientTransportEvent>>;

// What the phone application needs of its transport.
class ClientTransporting {
 public:
  virtual ~ClientTransporting() = default;
  virtual const ClientTransportEventStream& events() const = 0;
  virtual boost::asio::awaitable<void> start() = 0;
  // `reason` is the bye reason sent to the computers it disconnects.
  virtual boost::asio::awaitable<void> stop(std::string reason) = 0;
  virtual boost::asio::awaitable<void> forgetAll() = 0;
};

// The phone's side of the transport. It never dials: computers come to its plain listener (over
// a USB tunnel from a loopback address, or over Wi-Fi to ask for pairing) and to its TLS
// listener (Wi-Fi links with a pairing key), which is advertised over DNS-SD. It serves one
// computer at a time, shows pairing codes, counts wrong ones and hands out pairing keys.
//
// An actor: owned by shared_ptr, all its state lives on its own strand, and the tasks it starts
// hold it weakly. The operations may be awaited from any executor.
class ClientTransport final : public ClientTransporting,
                              public std::enable_shared_from_this<ClientTransport> {
 public:
  struct Settings {
    protocol::Hello localHello;  // sent on every link; source of the advertisement
    std::shared_ptr<PairingStore> store;
    std::uint16_t port = DeckTransport::port;  // plain listener; 0 for any free port
    // TLS listener; when absent the usual TLS port, or any free port when `port` is 0.
    std::optional<std::uint16_t> securePort;
    std::optional<std::string> serviceName;  // the hello's name when absent
    runtime::Duration helloTimeout = Handshake::defaultTimeout;
    // Take a plain connection from a loopback address as a USB host. Off unless the phone
    // really is reached through a USB tunnel: any local process could pose as a host.
    bool loopbackIsUSB = false;
    bool advertise = true;
    std::shared_ptr<ServiceDiscovery> discovery;  // needed when advertising
    std::shared_ptr<runtime::Clock> clock;        // the system clock when null
  };

  static std::shared_ptr<ClientTransport> make(const boost::asio::any_io_executor& executor,
                                               Settings settings);
  ~ClientTransport() override;

  const ClientTransportEventStream& events() const override { return events_; }
  boost::asio::awaitable<void> start() override;
  boost::asio::awaitable<void> stop(std::string reason) override;
  boost::asio::awaitable<void> forgetAll() override;

  // The advertised TXT record, without the "pair" port that the advertisement adds.
  std::map<std::string, std::string> txtRecord() const;
  const std::string& serviceName() const { return serviceName_; }

  boost::asio::awaitable<bool> isListening();
  boost::asio::awaitable<std::optional<std::uint16_t>> plainListenerPort();
  boost::asio::awaitable<std::optional<std::uint16_t>> secureListenerPort();
  boost::asio::awaitable<std::optional<std::string>> currentCode();
  // Rebuilds the TLS listener with the current key list when started; failures are logged.
  boost::asio::awaitable<void> restartSecure();

 private:
  struct SecureListener;
  // A link to follow until it closes: the open pairing request, or a host.
  struct Watch {
    std::shared_ptr<FrameConnection> link;
    bool isPairingRequest = false;
  };

  ClientTransport(const boost::asio::any_io_executor& executor, Settings settings);

  // Listeners and advertisement (ClientTransport.cpp).
  boost::asio::awaitable<void> startNow();
  boost::asio::awaitable<void> stopNow(std::string reason);
  boost::asio::awaitable<void> forgetAllNow();
  boost::asio::awaitable<void> restartSecureNow();
  boost::asio::awaitable<void> startSecure();
  boost::asio::awaitable<void> buildSecure();
  boost::asio::awaitable<SecureListener> makeSecureListener(SecureChannel::Parameters parameters,
                                                            std::uint16_t port,
                                                            std::optional<std::string> type);
  void advertise(SecureListener& secure, std::uint16_t port, const std::string& type);
  // The stored keys, read on the blocking worker; the pairing identities are left out.
  boost::asio::awaitable<std::vector<SecureChannel::Key>> storedKeys();
  // The stored keys and the key of the code on show, if any.
  std::vector<SecureChannel::Key> keyList(std::vector<SecureChannel::Key> keys);
  void cancelSecure();

  // Connections, hosts and pairing (ClientTransportHosts.cpp).
  // Each accepted connection's task; it holds the transport weakly.
  static boost::asio::awaitable<void> connectionTask(
      std::weak_ptr<ClientTransport> weak, std::shared_ptr<runtime::ByteStream> connection,
      bool secure, std::shared_ptr<void> unfinished);
  static boost::asio::awaitable<void> follow(std::weak_ptr<ClientTransport> weak, Watch watch);
  boost::asio::awaitable<std::optional<Watch>> handlePlain(
      std::shared_ptr<runtime::ByteStream> connection);
  boost::asio::awaitable<std::optional<Watch>> handleSecure(
      std::shared_ptr<runtime::ByteStream> connection);
  boost::asio::awaitable<std::optional<Watch>> handlePairingRequest(
      std::shared_ptr<FrameConnection> link);
  boost::asio::awaitable<std::optional<Watch>> acceptHost(std::shared_ptr<FrameConnection> link,
                                                          bool isUSB,
                                                          std::optional<std::string> keyIdentity);
  boost::asio::awaitable<void> linkClosed(Watch watch, std::string reason);
  boost::asio::awaitable<void> issueKey(std::string identity,
                                        std::shared_ptr<FrameConnection> link);
  boost::asio::awaitable<void> endPairing(std::optional<std::string> reason, bool lockedOut,
                                          bool restart);
  boost::asio::awaitable<void> recordWrongCode();
  std::shared_ptr<FrameConnection> wrap(std::shared_ptr<runtime::ByteStream> connection) const;
  void emit(ClientTransportEvent event) { events_->push(std::move(event)); }

  // Constants.
  const boost::asio::any_io_executor strand_;
  const boost::asio::any_io_executor queue_;  // both listeners run here
  const ClientTransportEventStream events_;
  const protocol::Hello localHello_;
  const std::shared_ptr<PairingStore> store_;
  const std::uint16_t requestedPort_;
  const std::string serviceName_;
  const runtime::Duration helloTimeout_;
  const bool loopbackIsUSB_;
  const bool advertise_;
  const std::shared_ptr<ServiceDiscovery> discovery_;
  const std::shared_ptr<runtime::Clock> clock_;

  // State, touched only on the strand.
  std::uint16_t securePort_;
  std::shared_ptr<Listener> plain_;  // set while started
  std::unique_ptr<SecureListener> secure_;
  std::shared_ptr<FrameConnection> live_;
  std::shared_ptr<FrameConnection> pending_;
  std::shared_ptr<FrameConnection> pairingRequest_;
  std::optional<std::string> pairingCode_;
  std::optional<std::string> pairingHost_;
  int failedAttempts_ = 0;
  std::optional<runtime::Clock::TimePoint> lockedUntil_;
  // TLS listener rebuilds run one at a time, so the last one always has the newest key list.
  bool securing_ = false;
  std::vector<std::shared_ptr<runtime::OneShot<std::monostate>>> secureQueue_;
};

}  // namespace brindlet::transport
