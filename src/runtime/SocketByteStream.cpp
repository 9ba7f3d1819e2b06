#include "runtime/SocketByteStream.h"

#include "runtime/SerialByteStream.h"

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

Endpoint endpointOf(const tcp::endpoint& e) {
  return Endpoint::hostPort(e.address().to_string(), e.port());
}
Endpoint endpointOf(const Local::endpoint& e) {
  return Endpoint::unixPath(e.path());
}

// One socket stream. All mutable state is touched only on the strand.
template <class Protocol>
class SocketStream final : public SerialByteStream {
 public:
  using Socket = typename Protocol::socket;
  using Dialer = std::function<void(SocketStream&)>;

  SocketStream(const asio::any_io_executor& executor, Socket socket, Dialer dialer)
      : SerialByteStream(executor), socket_(std::move(socket)), dialer_(std::move(dialer)) {}

  // Reads for the caller's own buffer land in an internal one, reused from read to read.
  void read(std::size_t maxBytes, ReadCompletion completion) override {
    onStrandNow<SocketStream>(
        [maxBytes, completion = std::move(completion)](SocketStream& self) mutable {
          if (self.readBufferSize_ < maxBytes) {
            self.readBuffer_.reset(new std::uint8_t[maxBytes]);
            self.readBufferSize_ = maxBytes;
          }
          self.readOnStrand({self.readBuffer_.get(), maxBytes}, std::move(completion));
        });
  }

  void readInto(std::span<std::uint8_t> buffer, ReadCompletion completion) override {
    onStrandNow<SocketStream>(
        [buffer, completion = std::move(completion)](SocketStream& self) mutable {
          self.readOnStrand(buffer, std::move(completion));
        });
  }

  // The listener rides in the stream's recycled memory: a warm read allocates nothing.
  void readInto(std::span<std::uint8_t> buffer, std::shared_ptr<ReadListener> listener) override {
    onStrandNow<SocketStream>([buffer, listener = std::move(listener)](SocketStream& self) mutable {
      self.readOnStrand(buffer, Tell{std::move(listener)});
    });
  }

  // Used by the dialers, on the strand, and before the stream starts.
  Socket& socket() { return socket_; }
  using SerialByteStream::cancelled;
  std::unique_ptr<tcp::resolver>& resolver() { return resolver_; }
  void dialFailed(const boost::system::error_code& ec) { fail(ec.message()); }
  void connected() {
    boost::system::error_code ec;
    auto remote = socket_.remote_endpoint(ec);
    if (ec) return dialFailed(ec);
    if constexpr (std::is_same_v<Protocol, tcp>) socket_.set_option(tcp::no_delay(true), ec);
    becomeReady(endpointOf(remote));
  }
  template <class F>
  auto bind(F f) {
    return asio::bind_executor(
        strand_, recycled([
          self = std::static_pointer_cast<SocketStream>(shared_from_this()), f = std::move(f)
        ]<class... A>(A && ... args) mutable requires std::invocable<F&, SocketStream&, A...> {
          f(*self, std::forward<A>(args)...);
        }));
  }

 private:
  // A listener called as a completion.
  struct Tell {
    std::shared_ptr<ReadListener> listener;
    void operator()(ByteView bytes, bool endOfStream, std::optional<std::string> error) const {
      listener->readDone(bytes, endOfStream, std::move(error));
    }
  };

  template <class Completion>
  void readOnStrand(std::span<std::uint8_t> buffer, Completion completion) {
    if (cancelled())
      return completeLater(std::move(completion), ByteView{}, false, std::optional(abortedText()));
    socket_.async_read_some(asio::buffer(buffer.data(), buffer.size()),
                            bind([buffer, completion = std::move(completion)](
                                     SocketStream&, boost::system::error_code ec, std::size_t n) {
                              const ByteView bytes = buffer.first(n);
                              if (ec == asio::error::eof)
                                return completion(bytes, true, std::nullopt);
                              if (ec) return completion(bytes, false, ec.message());
                              completion(bytes, false, std::nullopt);
                            }));
  }

  void establish() override {
    if (!dialer_) return connected();
    report(State::preparing, {});
    dialer_(*this);
  }

  void writeOne(ByteView head, ByteView body, Done done) override {
    std::array<asio::const_buffer, 2> buffers{asio::buffer(head.data(), head.size()),
                                              asio::buffer(body.data(), body.size())};
    asio::async_write(
        socket_, buffers,
        bind([done = std::move(done)](SocketStream&, boost::system::error_code ec, std::size_t) {
          done(ec ? std::optional<std::string>(ec.message()) : std::nullopt);
        }));
  }

  std::size_t gatherLimit() const override { return kGather; }

  void writeGathered(std::span<const ByteView> parts, Done done) override {
    std::size_t n = 0;
    for (const ByteView part : parts) gathered_[n++] = asio::buffer(part.data(), part.size());
    asio::async_write(
        socket_, std::span<const asio::const_buffer>(gathered_.data(), n),
        bind([done = std::move(done)](SocketStream&, boost::system::error_code ec, std::size_t) {
          done(ec ? std::optional<std::string>(ec.message()) : std::nullopt);
        }));
  }

  void closeTransport() override {
    boost::system::error_code ignored;
    resolver_.reset();
    socket_.shutdown(Socket::shutdown_both, ignored);
    socket_.close(ignored);
  }

  // Writes gathered into one: each has at most a head and a body.
  static constexpr std::size_t kGather = 16;
  std::array<asio::const_buffer, 2 * kGather> gathered_;

  Socket socket_;
  Dialer dialer_;
  std::unique_ptr<tcp::resolver> resolver_;
  std::unique_ptr<std::uint8_t[]> readBuffer_;
  std::size_t readBufferSize_ = 0;
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
                self.connected();
              }));
        }));
  };
  return std::make_shared<TcpStream>(executor, tcp::socket(executor), std::move(dialer));
}

std::shared_ptr<ByteStream> adopt(tcp::socket socket) {
  auto executor = socket.get_executor();
  return std::make_shared<TcpStream>(executor, std::move(socket), nullptr);
}

Bytes takeArrived(ByteStream& stream, std::size_t limit) {
  auto* tcpStream = dynamic_cast<TcpStream*>(&stream);
  if (tcpStream == nullptr) return {};
  auto& socket = tcpStream->socket();
  boost::system::error_code ec;
  const std::size_t waiting = std::min(socket.available(ec), limit);
  if (ec || waiting == 0) return {};
  // As much as is waiting: the read cannot block.
  Bytes bytes(waiting);
  bytes.resize(socket.read_some(asio::buffer(bytes.data(), bytes.size()), ec));
  return bytes;
}

}  // namespace TcpByteStream

namespace UnixByteStream {

std::shared_ptr<ByteStream> dial(const asio::any_io_executor& executor, std::string path) {
  auto dialer = [path = std::move(path)](UnixStream& stream) {
    stream.socket().async_connect(Local::endpoint(path),
                                  stream.bind([](UnixStream& self, boost::system::error_code ec) {
                                    if (self.cancelled()) return;
                                    if (ec) return self.dialFailed(ec);
                                    self.connected();
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
