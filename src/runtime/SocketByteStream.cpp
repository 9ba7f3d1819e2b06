#include "runtime/SocketByteStream.h"

#include <array>
#include <concepts>
#include <deque>
#include <mutex>
#include <utility>

#include <boost/asio/bind_executor.hpp>
#include <boost/asio/connect.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/strand.hpp>
#include <boost/asio/write.hpp>

namespace brindlet::runtime {
namespace {

namespace asio = boost::asio;
using asio::ip::tcp;
using Local = asio::local::stream_protocol;

std::string abortedText() {
  return asio::error::make_error_code(asio::error::operation_aborted).message();
}

Endpoint endpointOf(const tcp::endpoint& e) {
  return Endpoint::hostPort(e.address().to_string(), e.port());
}
Endpoint endpointOf(const Local::endpoint& e) {
  return Endpoint::unixPath(e.path());
}

// One socket stream. All mutable state is touched only on the strand.
template <class Protocol>
class SocketStream : public ByteStream,
                     public std::enable_shared_from_this<SocketStream<Protocol>> {
 public:
  using Socket = typename Protocol::socket;
  using Dialer = std::function<void(SocketStream&)>;

  SocketStream(const asio::any_io_executor& executor, Socket socket, Dialer dialer)
      : strand_(asio::make_strand(executor)),
        socket_(std::move(socket)),
        dialer_(std::move(dialer)) {}

  asio::any_io_executor executor() const override { return strand_; }

  void setStateHandler(StateHandler handler) override {
    onStrand([handler = std::move(handler)](SocketStream& self) mutable {
      self.stateHandler_ = std::move(handler);
    });
  }

  void start() override {
    onStrand([](SocketStream& self) {
      if (self.started_ || self.cancelled_) return;
      self.started_ = true;
      if (self.dialer_) {
        self.report(State::preparing, {});
        self.dialer_(self);
      } else {
        self.becomeReady();
      }
    });
  }

  void read(std::size_t maxBytes, ReadCompletion completion) override {
    onStrand([maxBytes, completion = std::move(completion)](SocketStream& self) mutable {
      if (self.cancelled_) return completion({}, false, abortedText());
      // One read at a time: the buffer is reused, and only what came is copied out.
      if (self.readBufferSize_ < maxBytes) {
        self.readBuffer_.reset(new std::uint8_t[maxBytes]);
        self.readBufferSize_ = maxBytes;
      }
      self.socket_.async_read_some(
          asio::buffer(self.readBuffer_.get(), maxBytes),
          self.bind([completion = std::move(completion)](
                        SocketStream& self, boost::system::error_code ec, std::size_t n) {
            ByteView bytes(self.readBuffer_.get(), n);
            if (ec == asio::error::eof) return completion(bytes, true, std::nullopt);
            if (ec) return completion(bytes, false, ec.message());
            completion(bytes, false, std::nullopt);
          }));
    });
  }

  void write(Bytes bytes, WriteCompletion completion) override {
    write({}, std::move(bytes), std::move(completion));
  }

  void write(Bytes head, Bytes body, WriteCompletion completion) override {
    onStrand([head = std::move(head), body = std::move(body),
              completion = std::move(completion)](SocketStream& self) mutable {
      if (self.cancelled_) return completion(abortedText());
      self.writes_.push_back({std::move(head), std::move(body), std::move(completion)});
      self.writeNext();
    });
  }

  void cancel() override {
    onStrand([](SocketStream& self) {
      if (self.cancelled_) return;
      self.cancelled_ = true;
      boost::system::error_code ignored;
      self.resolver_.reset();
      self.socket_.shutdown(Socket::shutdown_both, ignored);
      self.socket_.close(ignored);
      // The write in progress completes with its own abort; the queued ones never start.
      std::deque<PendingWrite> queued;
      queued.swap(self.writes_);
      if (self.writing_) {
        self.writes_.push_back(std::move(queued.front()));
        queued.pop_front();
      }
      for (auto& w : queued) w.completion(abortedText());
      self.report(State::cancelled, {});
    });
  }

  Endpoint remoteEndpoint() const override {
    std::lock_guard lock(endpointMutex_);
    return remote_;
  }

  // Used by the dialers, on the strand.
  Socket& socket() { return socket_; }
  bool cancelled() const { return cancelled_; }
  std::unique_ptr<tcp::resolver>& resolver() { return resolver_; }
  void dialFailed(const boost::system::error_code& ec) {
    if (cancelled_) return;
    report(State::failed, ec.message());
  }
  void becomeReady() {
    boost::system::error_code ec;
    auto remote = socket_.remote_endpoint(ec);
    if (ec) return dialFailed(ec);
    if constexpr (std::is_same_v<Protocol, tcp>) socket_.set_option(tcp::no_delay(true), ec);
    {
      std::lock_guard lock(endpointMutex_);
      remote_ = endpointOf(remote);
    }
    ready_ = true;
    report(State::ready, {});
    writeNext();
  }
  template <class F>
  auto bind(F f) {
    return asio::bind_executor(
        strand_, [ self = this->shared_from_this(), f = std::move(f) ]<class... A>(
                     A && ... args) mutable requires std::invocable<F&, SocketStream&, A...> {
          f(*self, std::forward<A>(args)...);
        });
  }

 private:
  struct PendingWrite {
    Bytes head;
    Bytes body;
    WriteCompletion completion;
  };

  template <class F>
  void onStrand(F f) {
    asio::post(strand_,
               [self = this->shared_from_this(), f = std::move(f)]() mutable { f(*self); });
  }

  void report(State state, const std::string& error) {
    auto handler = stateHandler_;
    if (handler) handler(state, error);
  }

  void writeNext() {
    if (writing_ || !ready_ || writes_.empty() || cancelled_) return;
    writing_ = true;
    const auto& next = writes_.front();
    std::array<asio::const_buffer, 2> buffers{asio::buffer(next.head), asio::buffer(next.body)};
    asio::async_write(
        socket_, buffers, bind([](SocketStream& self, boost::system::error_code ec, std::size_t) {
          self.writing_ = false;
          auto done = std::move(self.writes_.front());
          self.writes_.pop_front();
          done.completion(ec ? std::optional<std::string>(ec.message()) : std::nullopt);
          self.writeNext();
        }));
  }

  asio::strand<asio::any_io_executor> strand_;
  Socket socket_;
  Dialer dialer_;
  std::unique_ptr<tcp::resolver> resolver_;
  StateHandler stateHandler_;
  bool started_ = false;
  bool ready_ = false;
  bool cancelled_ = false;
  bool writing_ = false;
  std::deque<PendingWrite> writes_;
  std::unique_ptr<std::uint8_t[]> readBuffer_;
  std::size_t readBufferSize_ = 0;
  mutable std::mutex endpointMutex_;
  Endpoint remote_;
};

using TcpStream = SocketStream<tcp>;
using UnixStream = SocketStream<Local>;

}  // namespace

namespace TcpByteStream {

std::shared_ptr<ByteStream> dial(const asio::any_io_executor& executor, std::string host,
                                 std::uint16_t port) {
  auto dialer = [host = std::move(host), port](TcpStream& stream) {
    stream.resolver() = std::make_unique<tcp::resolver>(stream.executor());
    stream.resolver()->async_resolve(
        host, std::to_string(port),
        stream.bind([](TcpStream& self, boost::system::error_code ec,
                       tcp::resolver::results_type results) {
          if (self.cancelled()) return;
          if (ec) return self.dialFailed(ec);
          asio::async_connect(
              self.socket(), results,
              self.bind([](TcpStream& self, boost::system::error_code ec, const tcp::endpoint&) {
                if (self.cancelled()) return;
                if (ec) return self.dialFailed(ec);
                self.becomeReady();
              }));
        }));
  };
  return std::make_shared<TcpStream>(executor, tcp::socket(executor), std::move(dialer));
}

std::shared_ptr<ByteStream> adopt(tcp::socket socket) {
  auto executor = socket.get_executor();
  return std::make_shared<TcpStream>(executor, std::move(socket), nullptr);
}

}  // namespace TcpByteStream

namespace UnixByteStream {

std::shared_ptr<ByteStream> dial(const asio::any_io_executor& executor, std::string path) {
  auto dialer = [path = std::move(path)](UnixStream& stream) {
    stream.socket().async_connect(Local::endpoint(path),
                                  stream.bind([](UnixStream& self, boost::system::error_code ec) {
                                    if (self.cancelled()) return;
                                    if (ec) return self.dialFailed(ec);
                                    self.becomeReady();
                                  }));
  };
  return std::make_shared<UnixStream>(executor, Local::socket(executor), std::move(dialer));
}

std::shared_ptr<ByteStream> adopt(Local::socket socket) {
  auto executor = socket.get_executor();
  return std::make_shared<UnixStream>(executor, std::move(socket), nullptr);
}

}  // namespace UnixByteStream

}  // namespace brindlet::runtime
