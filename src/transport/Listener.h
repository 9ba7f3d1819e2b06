#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/awaitable.hpp>

#include "runtime/ByteStream.h"
#include "runtime/Clock.h"
#include "transport/SecureChannel.h"

namespace brindlet::transport {

struct ListenerOptions {
  // The local address to bind, e.g. "127.0.0.1" for this machine only; empty for every local
  // address (IPv6 with IPv4-mapped peers where the system allows, else IPv4).
  std::string address;
  // At most this many handed-over connections may be unfinished (see Listener::Unfinished);
  // more are closed as soon as they are accepted.
  std::size_t maxUnfinished = 16;
  // Times the pause after running out of file descriptors; the system clock when null.
  std::shared_ptr<runtime::Clock> clock;
};

// A TCP listener that hands each accepted connection over as a byte stream, not yet started.
// All its work and callbacks run on the serial executor it was made with. When the process
// runs out of file descriptors it pauses briefly and accepts again; the log says so once for as
// long as that lasts (each pause after the first at debug), and once when it accepts again.
class Listener {
 public:
  enum class State { setup, waiting, ready, failed, cancelled };
  // waiting and failed come with the error's readable text.
  using StateHandler = std::function<void(State state, const std::string& error)>;
  // Held by whoever serves a handed-over connection until the connection has proved itself
  // (its hello exchange is done) or has ended; dropping it frees the place.
  using Unfinished = std::shared_ptr<void>;
  using ConnectionHandler =
      std::function<void(std::shared_ptr<runtime::ByteStream> connection, Unfinished unfinished)>;

  // Port 0 asks for any free port. Opening the socket may throw boost::system::system_error.
  static std::shared_ptr<Listener> plain(const boost::asio::any_io_executor& queue,
                                         std::uint16_t port, ListenerOptions options = {});
  // Accepted connections are TLS byte streams that accept the given keys.
  static std::shared_ptr<Listener> tls(const boost::asio::any_io_executor& queue,
                                       std::uint16_t port, SecureChannel::Parameters parameters,
                                       ListenerOptions options = {});

  virtual ~Listener() = default;

  virtual void setStateHandler(StateHandler handler) = 0;
  virtual void setNewConnectionHandler(ConnectionHandler handler) = 0;
  // Binds and listens; reports ready, or failed with the system's text.
  virtual void start() = 0;
  // Stops accepting and reports cancelled; connections already handed over live on.
  virtual void cancel() = 0;
  // Leaves newcomers in the system's backlog, where what they send arrives, until resume(): for
  // a server that has no room for another connection now. Called on the queue, either holds from
  // the next connection on.
  virtual void pause() = 0;
  virtual void resume() = 0;
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
