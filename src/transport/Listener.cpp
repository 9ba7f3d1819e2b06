#include "transport/Listener.h"

#include <atomic>
#include <mutex>
#include <variant>

#include <boost/asio/dispatch.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ip/v6_only.hpp>
#include <boost/asio/post.hpp>

#include "runtime/FailureStreak.h"
#include "runtime/OneShot.h"
#include "runtime/SocketByteStream.h"
#include "runtime/Task.h"
#include "transport/DeckTransport.h"
#include "transport/TlsByteStream.h"
#include "transport/TransportError.h"

namespace brindlet::transport {
namespace {

namespace asio = boost::asio;
using asio::ip::tcp;
using StreamMaker = std::function<std::shared_ptr<runtime::ByteStream>(tcp::socket)>;
using namespace std::chrono_literals;

// How long a listener that ran out of file descriptors waits before it accepts again.
constexpr auto kDescriptorPause = 100ms;

// All mutable state except the bound port is touched only on the queue.
class TcpListener final : public Listener, public std::enable_shared_from_this<TcpListener> {
 public:
  TcpListener(const asio::any_io_executor& queue, std::uint16_t port, StreamMaker maker,
              ListenerOptions options)
      : queue_(queue),
        acceptor_(queue),
        requested_(port),
        maker_(std::move(maker)),
        maxUnfinished_(options.maxUnfinished),
        clock_(options.clock ? std::move(options.clock) : runtime::Clock::system()) {
    open(options.address);
  }

  void setStateHandler(StateHandler handler) override {
    onQueue([handler = std::move(handler)](TcpListener& self) mutable {
      self.stateHandler_ = std::move(handler);
    });
  }

  void setNewConnectionHandler(ConnectionHandler handler) override {
    onQueue([handler = std::move(handler)](TcpListener& self) mutable {
      self.connectionHandler_ = std::move(handler);
    });
  }

  void start() override {
    onQueue([](TcpListener& self) {
      // A listener cancelled before it started says so again, for whoever waits on it now.
      if (self.cancelled_) return self.report(State::cancelled, {});
      if (self.started_) return;
      self.started_ = true;
      self.report(State::setup, {});
      self.listen();
    });
  }

  void cancel() override {
    onQueue([](TcpListener& self) {
      if (self.cancelled_) return;
      self.cancelled_ = true;
      boost::system::error_code ignored;
      self.acceptor_.close(ignored);
      self.report(State::cancelled, {});
    });
  }

  void pause() override {
    onQueueNow([](TcpListener& self) { self.paused_ = true; });
  }

  void resume() override {
    onQueueNow([](TcpListener& self) {
      self.paused_ = false;
      if (std::exchange(self.held_, false)) self.next();
    });
  }

  std::optional<std::uint16_t> port() const override {
    if (requested_ != 0) return requested_;
    std::lock_guard lock(mutex_);
    return bound_;
  }

 private:
  // Dual-stack IPv6 where the system has it, so that IPv4 peers arrive as ::ffff:a.b.c.d.
  void open(const std::string& address) {
    boost::system::error_code ec;
    if (!address.empty()) {
      address_ = asio::ip::make_address(address);
      acceptor_.open(address_->is_v4() ? tcp::v4() : tcp::v6());
      acceptor_.set_option(tcp::acceptor::reuse_address(true));
      return;
    }
    acceptor_.open(tcp::v6(), ec);
    if (!ec) acceptor_.set_option(asio::ip::v6_only(false), ec);
    if (ec) {
      boost::system::error_code ignored;
      acceptor_.close(ignored);
      acceptor_.open(tcp::v4());
    } else {
      dualStack_ = true;
    }
    acceptor_.set_option(tcp::acceptor::reuse_address(true));
  }

  void listen() {
    const auto any = dualStack_ ? asio::ip::address(asio::ip::address_v6::any())
                                : asio::ip::address(asio::ip::address_v4::any());
    boost::system::error_code ec;
    acceptor_.bind(tcp::endpoint(address_.value_or(any), requested_), ec);
    if (!ec) acceptor_.listen(asio::socket_base::max_listen_connections, ec);
    if (ec) return report(State::failed, ec.message());
    const auto local = acceptor_.local_endpoint(ec);
    if (!ec) {
      std::lock_guard lock(mutex_);
      bound_ = local.port();
    }
    report(State::ready, {});
    next();
  }

  // The next accept, unless paused: then resume() starts it.
  void next() {
    if (cancelled_) return;
    if (paused_) {
      held_ = true;
      return;
    }
    acceptNext();
  }

  void acceptNext() {
    std::weak_ptr<TcpListener> weak = shared_from_this();
    acceptor_.async_accept([weak](boost::system::error_code ec, tcp::socket socket) {
      if (auto self = weak.lock()) self->accepted(ec, std::move(socket));
    });
  }

  void accepted(const boost::system::error_code& ec, tcp::socket socket) {
    if (cancelled_ || ec == asio::error::operation_aborted) return;
    // A peer that gave up before it was taken is no reason to stop listening.
    if (ec == asio::error::connection_aborted) return next();
    const auto number = std::to_string(port().value_or(requested_));
    // Out of descriptors: the peer waits in the backlog until some are free again. A flood
    // keeps them short for as long as it lasts: its pauses are one error, not one a pause.
    if (ec == asio::error::no_descriptors ||
        ec == boost::system::errc::too_many_files_open_in_system) {
      descriptors_.failed("Listener on " + number + ": " + ec.message() +
                          "; accepting again in 100 ms");
      runtime::spawn(queue_, pauseThenAccept(weak_from_this(), clock_));
      return;
    }
    if (ec) return report(State::failed, ec.message());
    descriptors_.worked("Listener on " + number + " accepts again");
    if (*unfinished_ >= maxUnfinished_) {
      // Too many connections that have not proved themselves: this one goes at once.
      boost::system::error_code ignored;
      socket.close(ignored);
      return next();
    }
    auto connection = maker_(std::move(socket));
    if (connectionHandler_) {
      connectionHandler_(std::move(connection), unfinished());
    } else {
      connection->cancel();
    }
    next();
  }

  static asio::awaitable<void> pauseThenAccept(std::weak_ptr<TcpListener> weak,
                                               std::shared_ptr<runtime::Clock> clock) {
    co_await clock->sleep(kDescriptorPause);
    auto self = weak.lock();
    if (self) self->next();
  }

  Unfinished unfinished() {
    ++*unfinished_;
    return Unfinished(unfinished_.get(), [count = unfinished_](void*) { count->fetch_sub(1); });
  }

  template <class F>
  void onQueue(F f) {
    asio::post(queue_, [self = shared_from_this(), f = std::move(f)]() mutable { f(*self); });
  }
  // At once when called on the queue.
  template <class F>
  void onQueueNow(F f) {
    asio::dispatch(queue_, [self = shared_from_this(), f = std::move(f)]() mutable { f(*self); });
  }

  void report(State state, const std::string& error) {
    auto handler = stateHandler_;
    if (handler) handler(state, error);
  }

  asio::any_io_executor queue_;
  tcp::acceptor acceptor_;
  const std::uint16_t requested_;
  StreamMaker maker_;
  const std::size_t maxUnfinished_;
  const std::shared_ptr<runtime::Clock> clock_;
  runtime::FailureStreak descriptors_{transportLog()};
  const std::shared_ptr<std::atomic<std::size_t>> unfinished_ =
      std::make_shared<std::atomic<std::size_t>>(0);
  std::optional<asio::ip::address> address_;
  bool dualStack_ = false;
  bool started_ = false;
  bool cancelled_ = false;
  bool paused_ = false;
  bool held_ = false;  // an accept is due once resumed
  StateHandler stateHandler_;
  ConnectionHandler connectionHandler_;
  mutable std::mutex mutex_;
  std::optional<std::uint16_t> bound_;
};

}  // namespace

std::shared_ptr<Listener> Listener::plain(const asio::any_io_executor& queue, std::uint16_t port,
                                          ListenerOptions options) {
  return std::make_shared<TcpListener>(
      queue, port,
      [](tcp::socket socket) { return runtime::TcpByteStream::adopt(std::move(socket)); },
      std::move(options));
}

std::shared_ptr<Listener> Listener::tls(const asio::any_io_executor& queue, std::uint16_t port,
                                        SecureChannel::Parameters parameters,
                                        ListenerOptions options) {
  return std::make_shared<TcpListener>(
      queue, port,
      [parameters](tcp::socket socket) -> std::shared_ptr<runtime::ByteStream> {
        return TlsByteStream::adopt(std::move(socket), parameters);
      },
      std::move(options));
}

boost::asio::awaitable<void> waitUntilReady(std::shared_ptr<Listener> listener) {
  auto slot = runtime::OneShot<std::monostate>::make();
  std::weak_ptr<Listener> weak = listener;
  // The handler stays after ready: later failures are still logged and cancel the listener.
  listener->setStateHandler([slot, weak](Listener::State state, const std::string& error) {
    auto self = weak.lock();
    const std::uint16_t port = self ? self->port().value_or(0) : 0;
    switch (state) {
      case Listener::State::ready:
        slot->resume({});
        break;
      case Listener::State::waiting:
      case Listener::State::failed:
        transportLog().error("Listener on %hu: %s", port, error.c_str());
        slot->fail(TransportError::connectionFailed(error));
        if (self) self->cancel();
        break;
      case Listener::State::cancelled:
        transportLog().debug("Listener on %hu cancelled", port);
        slot->fail(TransportError::closed());
        break;
      case Listener::State::setup:
        break;
    }
  });
  listener->start();
  co_await slot->wait();
}

bool isLoopback(const runtime::Endpoint& remote) {
  if (remote.kind != runtime::Endpoint::Kind::hostPort) return false;
  if (remote.host == "localhost") return true;
  boost::system::error_code ec;
  const auto address = asio::ip::make_address(remote.host, ec);
  if (ec) return false;
  if (address.is_v4()) return address.to_v4().is_loopback();
  static const auto mapped = asio::ip::make_address_v6("::ffff:127.0.0.1");
  return address.to_v6().is_loopback() || address.to_v6() == mapped;
}

}  // namespace brindlet::transport
