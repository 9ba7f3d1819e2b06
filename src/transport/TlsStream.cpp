#include "transport/TlsStream.h"

#include <openssl/ssl.h>

#include <boost/asio/as_tuple.hpp>
#include <boost/asio/connect.hpp>
#include <boost/asio/read.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/asio/write.hpp>

#include "transport/TransportError.h"

namespace brindlet::transport {
namespace {

namespace asio = boost::asio;
using asio::ip::tcp;
constexpr auto token = asio::as_tuple(asio::use_awaitable);

TransportError failure(const boost::system::error_code& ec) {
  return TransportError::connectionFailed(ec.message());
}

// asio's context takes over one reference; the parameters keep theirs.
asio::ssl::context contextOf(const SecureChannel::Parameters& parameters) {
  SSL_CTX_up_ref(parameters.native());
  return asio::ssl::context(parameters.native());
}

}  // namespace

struct TlsStream::Impl {
  Impl(tcp::socket socket, const SecureChannel::Parameters& parameters)
      : context(contextOf(parameters)), stream(std::move(socket), context) {}

  asio::ssl::context context;
  asio::ssl::stream<tcp::socket> stream;
};

TlsStream::TlsStream(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
TlsStream::~TlsStream() = default;

asio::awaitable<std::unique_ptr<TlsStream>> TlsStream::connect(
    asio::any_io_executor executor, std::string host, std::uint16_t port,
    SecureChannel::Parameters parameters) {
  tcp::resolver resolver(executor);
  auto [resolveError, endpoints] =
      co_await resolver.async_resolve(host, std::to_string(port), token);
  if (resolveError) throw failure(resolveError);
  tcp::socket socket(executor);
  auto [connectError, endpoint] = co_await asio::async_connect(socket, endpoints, token);
  if (connectError) throw failure(connectError);
  std::unique_ptr<TlsStream> stream(
      new TlsStream(std::make_unique<Impl>(std::move(socket), parameters)));
  co_await stream->handshake(true);
  co_return stream;
}

asio::awaitable<std::unique_ptr<TlsStream>> TlsStream::accept(
    tcp::socket socket, SecureChannel::Parameters parameters) {
  std::unique_ptr<TlsStream> stream(
      new TlsStream(std::make_unique<Impl>(std::move(socket), parameters)));
  co_await stream->handshake(false);
  co_return stream;
}

asio::awaitable<void> TlsStream::handshake(bool asClient) {
  boost::system::error_code ignored;
  impl_->stream.lowest_layer().set_option(tcp::no_delay(true), ignored);
  auto type = asClient ? asio::ssl::stream_base::client : asio::ssl::stream_base::server;
  auto [ec] = co_await impl_->stream.async_handshake(type, token);
  if (ec) {
    cancel();
    throw failure(ec);
  }
}

asio::awaitable<std::size_t> TlsStream::readSome(std::span<std::uint8_t> buffer) {
  auto [ec, n] =
      co_await impl_->stream.async_read_some(asio::buffer(buffer.data(), buffer.size()), token);
  if (n > 0) co_return n;
  // The peer's close_notify, or a peer that closed the connection without one: frames carry
  // their own lengths, so a cut-off frame is still told apart from a whole one.
  if (ec == asio::error::eof || ec == asio::ssl::error::stream_truncated) co_return 0;
  if (ec) throw failure(ec);
  co_return n;
}

asio::awaitable<void> TlsStream::write(runtime::ByteView bytes) {
  auto [ec, n] =
      co_await asio::async_write(impl_->stream, asio::buffer(bytes.data(), bytes.size()), token);
  if (ec) throw failure(ec);
}

asio::awaitable<void> TlsStream::shutdown() {
  auto [ec] = co_await impl_->stream.async_shutdown(token);
  // A peer that closes the connection instead of answering has ended the link all the same.
  if (ec && ec != asio::error::eof && ec != asio::ssl::error::stream_truncated) throw failure(ec);
}

void TlsStream::cancel() {
  boost::system::error_code ignored;
  impl_->stream.lowest_layer().shutdown(tcp::socket::shutdown_both, ignored);
  impl_->stream.lowest_layer().close(ignored);
}

asio::any_io_executor TlsStream::executor() const {
  return impl_->stream.get_executor();
}

tcp::endpoint TlsStream::remoteEndpoint() const {
  boost::system::error_code ignored;
  return impl_->stream.lowest_layer().remote_endpoint(ignored);
}

std::string TlsStream::pskIdentity() const {
  const char* identity = SSL_get_psk_identity(impl_->stream.native_handle());
  return identity ? identity : "";
}

}  // namespace brindlet::transport
