#include "transport/TlsByteStream.h"

#include <boost/asio/bind_cancellation_slot.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/use_awaitable.hpp>

#include "transport/TlsStream.h"
#include "transport/TransportError.h"

namespace brindlet::transport {
namespace {

namespace asio = boost::asio;
using asio::ip::tcp;
using runtime::Bytes;
using runtime::ByteView;

std::string detailOf(const TransportError& e) {
  return e.detail().empty() ? e.text() : e.detail();
}

}  // namespace

TlsByteStream::TlsByteStream(const asio::any_io_executor& executor, std::optional<Dial> dial,
                             std::optional<tcp::socket> accepted,
                             SecureChannel::Parameters parameters)
    : SerialByteStream(executor),
      dial_(std::move(dial)),
      accepted_(std::move(accepted)),
      parameters_(std::move(parameters)) {}

TlsByteStream::~TlsByteStream() = default;

std::shared_ptr<TlsByteStream> TlsByteStream::dial(const asio::any_io_executor& executor,
                                                   std::string host, std::uint16_t port,
                                                   SecureChannel::Parameters parameters) {
  return std::shared_ptr<TlsByteStream>(new TlsByteStream(executor, Dial{std::move(host), port},
                                                          std::nullopt, std::move(parameters)));
}

std::shared_ptr<TlsByteStream> TlsByteStream::adopt(tcp::socket socket,
                                                    SecureChannel::Parameters parameters) {
  auto executor = socket.get_executor();
  return std::shared_ptr<TlsByteStream>(
      new TlsByteStream(executor, std::nullopt, std::move(socket), std::move(parameters)));
}

std::shared_ptr<TlsByteStream> TlsByteStream::self() {
  return std::static_pointer_cast<TlsByteStream>(shared_from_this());
}

void TlsByteStream::read(std::size_t maxBytes, ReadCompletion completion) {
  onStrandNow<TlsByteStream>(
      [maxBytes, completion = std::move(completion)](TlsByteStream& self) mutable {
        if (self.readBuffer_.size() < maxBytes) self.readBuffer_.resize(maxBytes);
        self.readOnStrand({self.readBuffer_.data(), maxBytes}, std::move(completion));
      });
}

void TlsByteStream::readInto(std::span<std::uint8_t> buffer, ReadCompletion completion) {
  onStrandNow<TlsByteStream>(
      [buffer, completion = std::move(completion)](TlsByteStream& self) mutable {
        self.readOnStrand(buffer, std::move(completion));
      });
}

void TlsByteStream::readOnStrand(std::span<std::uint8_t> buffer, ReadCompletion completion) {
  if (cancelled() || !tls_) {
    return completeLater(std::move(completion), runtime::ByteView{}, false,
                         std::optional(abortedText()));
  }
  asio::co_spawn(strand_, readOnce(buffer, std::move(completion)), asio::detached);
}

std::string TlsByteStream::pskIdentity() const {
  std::lock_guard lock(identityMutex_);
  return identity_;
}

void TlsByteStream::establish() {
  report(State::preparing, {});
  asio::co_spawn(strand_, handshake(),
                 asio::bind_cancellation_slot(handshakeCancel_.slot(), asio::detached));
}

void TlsByteStream::closeTransport() {
  handshakeCancel_.emit(asio::cancellation_type::terminal);
  if (tls_) tls_->cancel();
  if (accepted_) {
    boost::system::error_code ignored;
    accepted_->close(ignored);
  }
}

void TlsByteStream::writeOne(ByteView head, ByteView body, Done done) {
  asio::co_spawn(strand_, writeBoth(head, body, std::move(done)), asio::detached);
}

asio::awaitable<void> TlsByteStream::handshake() {
  auto keep = self();
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
    fail(detailOf(e));
    co_return;
  } catch (const boost::system::system_error& e) {
    fail(e.code().message());
    co_return;
  }
  co_await asio::post(strand_, asio::use_awaitable);  // back on the strand for our state
  if (cancelled()) {
    tls->cancel();
    co_return;
  }
  tls_ = std::move(tls);
  {
    std::lock_guard lock(identityMutex_);
    identity_ = tls_->pskIdentity();
  }
  const auto remote = tls_->remoteEndpoint();
  becomeReady(runtime::Endpoint::hostPort(remote.address().to_string(), remote.port()));
}

asio::awaitable<void> TlsByteStream::readOnce(std::span<std::uint8_t> buffer,
                                              ReadCompletion completion) {
  auto keep = self();
  std::size_t n = 0;
  std::optional<std::string> error;
  try {
    n = co_await tls_->readSome(buffer);
  } catch (const TransportError& e) {
    error = detailOf(e);
  }
  if (error) {
    completion({}, false, error);
  } else if (n == 0) {
    completion({}, true, std::nullopt);
  } else {
    completion(buffer.first(n), false, std::nullopt);
  }
}

// The header never travels in a record of its own: it is sealed together with the first
// record's worth of the body (a whole small frame is one record and one socket write); the
// rest of the body goes out from its own buffer. The buffers stay alive in the write queue
// until done is called.
asio::awaitable<void> TlsByteStream::writeBoth(ByteView head, ByteView body, Done done) {
  auto keep = self();
  constexpr std::size_t kRecord = 16384;
  const std::size_t inFirst = std::min(body.size(), kRecord - std::min(head.size(), kRecord));
  std::optional<std::string> error;
  try {
    if (head.empty()) {
      co_await tls_->write(body);
    } else {
      recordBuffer_.assign(head.begin(), head.end());
      recordBuffer_.insert(recordBuffer_.end(), body.begin(),
                           body.begin() + std::ptrdiff_t(inFirst));
      co_await tls_->write(recordBuffer_);
      if (inFirst < body.size()) co_await tls_->write(body.subspan(inFirst));
    }
  } catch (const TransportError& e) {
    error = detailOf(e);
  }
  done(std::move(error));
}

}  // namespace brindlet::transport
