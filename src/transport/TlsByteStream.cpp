#include "transport/TlsByteStream.h"

#include <deque>
#include <mutex>
#include <optional>

#include <boost/asio/bind_cancellation_slot.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/strand.hpp>

#include "transport/TlsStream.h"
#include "transport/TransportError.h"

namespace brindlet::transport {
namespace {

namespace asio = boost::asio;
using asio::ip::tcp;
using runtime::Bytes;
using runtime::ByteView;

std::string abortedText() {
  return asio::error::make_error_code(asio::error::operation_aborted).message();
}

// All mutable state is touched only on the strand; the TLS stream runs there too.
class TlsStreamAdapter final : public TlsByteStream,
                               public std::enable_shared_from_this<TlsStreamAdapter> {
 public:
  struct Dial {
    std::string host;
    std::uint16_t port;
  };

  TlsStreamAdapter(const asio::any_io_executor& executor, std::optional<Dial> dial,
                   std::optional<tcp::socket> accepted, SecureChannel::Parameters parameters)
      : strand_(asio::make_strand(executor)),
        dial_(std::move(dial)),
        accepted_(std::move(accepted)),
        parameters_(std::move(parameters)) {}

  asio::any_io_executor executor() const override { return strand_; }

  void setStateHandler(StateHandler handler) override {
    onStrand([handler = std::move(handler)](TlsStreamAdapter& self) mutable {
      self.stateHandler_ = std::move(handler);
    });
  }

  void start() override {
    onStrand([](TlsStreamAdapter& self) {
      if (self.started_ || self.cancelled_) return;
      self.started_ = true;
      self.report(State::preparing, {});
      asio::co_spawn(self.strand_, self.establish(),
                     asio::bind_cancellation_slot(self.handshakeCancel_.slot(), asio::detached));
    });
  }

  void read(std::size_t maxBytes, ReadCompletion completion) override {
    onStrand([maxBytes, completion = std::move(completion)](TlsStreamAdapter& self) mutable {
      if (self.cancelled_ || !self.tls_) return completion({}, false, abortedText());
      if (self.readBuffer_.size() < maxBytes) self.readBuffer_.resize(maxBytes);
      asio::co_spawn(self.strand_, self.readOnce(maxBytes, std::move(completion)), asio::detached);
    });
  }

  void write(Bytes bytes, WriteCompletion completion) override {
    write({}, std::move(bytes), std::move(completion));
  }

  void write(Bytes head, Bytes body, WriteCompletion completion) override {
    onStrand([head = std::move(head), body = std::move(body),
              completion = std::move(completion)](TlsStreamAdapter& self) mutable {
      if (self.cancelled_) return completion(abortedText());
      self.writes_.push_back({std::move(head), std::move(body), std::move(completion)});
      self.writeNext();
    });
  }

  void cancel() override {
    onStrand([](TlsStreamAdapter& self) {
      if (self.cancelled_) return;
      self.cancelled_ = true;
      self.handshakeCancel_.emit(asio::cancellation_type::terminal);
      if (self.tls_) self.tls_->cancel();
      if (self.accepted_) {
        boost::system::error_code ignored;
        self.accepted_->close(ignored);
      }
      // The write in progress completes with its own failure; the queued ones never start.
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

  runtime::Endpoint remoteEndpoint() const override {
    std::lock_guard lock(mutex_);
    return remote_;
  }

  std::string pskIdentity() const override {
    std::lock_guard lock(mutex_);
    return identity_;
  }

 private:
  struct PendingWrite {
    Bytes head;
    Bytes body;
    WriteCompletion completion;
  };

  template <class F>
  void onStrand(F f) {
    asio::post(strand_, [self = shared_from_this(), f = std::move(f)]() mutable { f(*self); });
  }

  void report(State state, const std::string& error) {
    auto handler = stateHandler_;
    if (handler) handler(state, error);
  }

  asio::awaitable<void> establish() {
    auto self = shared_from_this();
    std::unique_ptr<TlsStream> tls;
    try {
      if (dial_) {
        tls = co_await TlsStream::connect(strand_, dial_->host, dial_->port, parameters_);
      } else {
        // The accepted socket moves onto this stream's strand, where all its work runs.
        tcp::socket socket(strand_);
        const auto protocol = accepted_->local_endpoint().protocol();
        socket.assign(protocol, accepted_->release());
        accepted_.reset();
        tls = co_await TlsStream::accept(std::move(socket), parameters_);
      }
    } catch (const TransportError& e) {
      if (!cancelled_) report(State::failed, describe(e));
      co_return;
    } catch (const boost::system::system_error& e) {
      if (!cancelled_) report(State::failed, e.code().message());
      co_return;
    }
    co_await asio::post(strand_, asio::use_awaitable);  // back on the strand for our state
    if (cancelled_) {
      tls->cancel();
      co_return;
    }
    tls_ = std::move(tls);
    {
      std::lock_guard lock(mutex_);
      const auto remote = tls_->remoteEndpoint();
      remote_ = runtime::Endpoint::hostPort(remote.address().to_string(), remote.port());
      identity_ = tls_->pskIdentity();
    }
    ready_ = true;
    report(State::ready, {});
    writeNext();
  }

  static std::string describe(const TransportError& e) {
    return e.detail().empty() ? e.text() : e.detail();
  }

  asio::awaitable<void> readOnce(std::size_t maxBytes, ReadCompletion completion) {
    auto self = shared_from_this();
    std::size_t n = 0;
    std::optional<std::string> error;
    try {
      n = co_await tls_->readSome(std::span(readBuffer_.data(), maxBytes));
    } catch (const TransportError& e) {
      error = describe(e);
    }
    if (error) co_return completion({}, false, error);
    if (n == 0) co_return completion({}, true, std::nullopt);
    completion(ByteView(readBuffer_.data(), n), false, std::nullopt);
  }

  void writeNext() {
    if (writing_ || !ready_ || writes_.empty() || cancelled_) return;
    writing_ = true;
    asio::co_spawn(strand_, writeFront(), asio::detached);
  }

  asio::awaitable<void> writeFront() {
    auto self = shared_from_this();
    std::optional<std::string> error;
    try {
      // Views of the bytes, not a reference to the queue entry: cancel() moves the entry in
      // writing to a new place in the queue (its bytes stay where they are).
      const runtime::ByteView head = writes_.front().head;
      const runtime::ByteView body = writes_.front().body;
      if (!head.empty()) co_await tls_->write(head);
      if (!body.empty()) co_await tls_->write(body);
    } catch (const TransportError& e) {
      error = describe(e);
    }
    writing_ = false;
    auto done = std::move(writes_.front());
    writes_.pop_front();
    done.completion(error);
    writeNext();
  }

  asio::strand<asio::any_io_executor> strand_;
  std::optional<Dial> dial_;
  std::optional<tcp::socket> accepted_;
  SecureChannel::Parameters parameters_;
  asio::cancellation_signal handshakeCancel_;
  std::unique_ptr<TlsStream> tls_;
  StateHandler stateHandler_;
  bool started_ = false;
  bool ready_ = false;
  bool cancelled_ = false;
  bool writing_ = false;
  std::deque<PendingWrite> writes_;
  Bytes readBuffer_;
  mutable std::mutex mutex_;
  runtime::Endpoint remote_;
  std::string identity_;
};

}  // namespace

std::shared_ptr<TlsByteStream> TlsByteStream::dial(const asio::any_io_executor& executor,
                                                   std::string host, std::uint16_t port,
                                                   SecureChannel::Parameters parameters) {
  return std::make_shared<TlsStreamAdapter>(executor, TlsStreamAdapter::Dial{std::move(host), port},
                                            std::nullopt, std::move(parameters));
}

std::shared_ptr<TlsByteStream> TlsByteStream::adopt(tcp::socket socket,
                                                    SecureChannel::Parameters parameters) {
  auto executor = socket.get_executor();
  return std::make_shared<TlsStreamAdapter>(executor, std::nullopt, std::move(socket),
                                            std::move(parameters));
}

ConnectionParameters secureTls(SecureChannel::Parameters parameters) {
  return [parameters](const asio::any_io_executor& executor,
                      const runtime::Endpoint& endpoint) -> std::shared_ptr<runtime::ByteStream> {
    return TlsByteStream::dial(executor, endpoint.host, endpoint.port, parameters);
  };
}

}  // namespace brindlet::transport
