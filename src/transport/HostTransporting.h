#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <boost/asio/awaitable.hpp>

#include "protocol/LinkMessages.h"
#include "runtime/AsyncQueue.h"
#include "transport/NearbyPhone.h"
#include "transport/Route.h"

namespace brindlet::transport {

class FrameConnection;
class PairingRequestReader;

// One live link to a phone that passed the hello exchange.
struct ClientLink {
  std::shared_ptr<FrameConnection> connection;
  Route route;
  protocol::Hello hello;  // the phone's
  // A Wi-Fi link dialled with a pairing key, stored or derived from a code: the uid of the phone
  // that key belongs to, which the TLS handshake proved. None for every other link.
  std::optional<std::string> dialedUid;
};

// What the host transport reports, in the order it happens.
struct HostTransportEvent {
  enum class Kind { connected, disconnected, nearby };

  Kind kind = Kind::nearby;
  std::optional<ClientLink> link;   // connected
  std::optional<Route> route;       // disconnected
  std::string reason;               // disconnected: the link's close reason
  std::vector<NearbyPhone> phones;  // nearby

  static HostTransportEvent connected(ClientLink link) {
    HostTransportEvent e;
    e.kind = Kind::connected;
    e.link = std::move(link);
    return e;
  }
  static HostTransportEvent disconnected(Route route, std::string reason) {
    HostTransportEvent e;
    e.kind = Kind::disconnected;
    e.route = std::move(route);
    e.reason = std::move(reason);
    return e;
  }
  static HostTransportEvent nearby(std::vector<NearbyPhone> phones) {
    HostTransportEvent e;
    e.kind = Kind::nearby;
    e.phones = std::move(phones);
    return e;
  }
};

using HostTransportEvents = runtime::AsyncQueue<HostTransportEvent>;

// One pairing in progress: the phone as listed when it began and the plain request link, past
// its hello exchange. The reader keeps the reason the phone gave when it ended the request.
struct PairingAttempt {
  NearbyPhone phone;
  std::shared_ptr<FrameConnection> request;
  std::shared_ptr<PairingRequestReader> reader;
};

// The computer's side of the phone links, as the app uses it.
class HostTransporting {
 public:
  virtual ~HostTransporting() = default;

  virtual std::shared_ptr<HostTransportEvents> events() const = 0;
  virtual boost::asio::awaitable<void> start() = 0;
  virtual boost::asio::awaitable<void> stop() = 0;
  // Dials a paired phone over Wi-Fi.
  virtual boost::asio::awaitable<ClientLink> connect(NearbyPhone phone) = 0;
  // Asks the phone to show a pairing code.
  virtual boost::asio::awaitable<PairingAttempt> requestPairing(NearbyPhone phone) = 0;
  // Dials the phone with a key derived from the code the user typed; a wrong code fails with
  // wrongCode (the attempt stays usable), a phone that stopped accepting codes with
  // pairingLockedOut.
  virtual boost::asio::awaitable<ClientLink> completePairing(PairingAttempt attempt,
                                                             std::string code) = 0;
  virtual boost::asio::awaitable<void> cancelPairing(PairingAttempt attempt) = 0;
  // Drops the pairing key of the phone with this uid.
  virtual boost::asio::awaitable<void> forget(std::string uid) = 0;
};

}  // namespace brindlet::transport
