#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/awaitable.hpp>

#include "runtime/ByteStream.h"
#include "transport/SecureChannel.h"

namespace brindlet::transport {

// A TCP listener on every local address (IPv6 with IPv4-mapped peers where the system allows,
// else IPv4) that hands each accepted connection over as a byte stream, not yet started. All
// its work and callbacks run on the serial executor it was made with.
class Listener {
 public:
  enum class State { setup, waiting, ready, failed, cancelled };
  // waiting and failed come with the error's readable text.
  using StateHandler = std::function<void(State state, const std::string& error)>;
  using ConnectionHandler = std::function<void(std::shared_ptr<runtime::ByteStream> connection)>;

  // Port 0 asks for any free port. Opening the socket may throw boost::system::system_error.
  static std::shared_ptr<Listener> plain(const boost::asio::any_io_executor& queue,
                                         std::uint16_t port);
  // Accepted connections are TLS byte streams that accept the given keys.
  static std::shared_ptr<Listener> tls(const boost::asio::any_io_executor& queue,
                                       std::uint16_t port, SecureChannel::Parameters parameters);

  virtual ~Listener() = default;

  virtual void setStateHandler(StateHandler handler) = 0;
  virtual void setNewConnectionHandler(ConnectionHandler handler) = 0;
  // Binds and listens; reports ready, or failed with the system's text.
  virtual void start() = 0;
  // Stops accepting and reports cancelled; connections already handed over live on.
  virtual void cancel() = 0;
  // The requested port, or for port 0 the port bound once there is one.
  virtual std::optional<std::uint16_t> port() const = 0;
};

// Starts the listener and waits until it is ready. A listener that fails or would wait is
// cancelled and the call throws connectionFailed with the error's text; a listener cancelled
// before it was ready throws closed. Later states are still logged (failures cancel it).
boost::asio::awaitable<void> waitUntilReady(std::shared_ptr<Listener> listener);

// Whether a connection's peer is on this machine: the name "localhost" exactly, an IPv4 or IPv6
// loopback address, or the IPv4-mapped ::ffff:127.0.0.1.
bool isLoopback(const runtime::Endpoint& remote);

}  // namespace brindlet::transport
