#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/awaitable.hpp>
#include <boost/asio/ip/tcp.hpp>

#include "runtime/Bytes.h"
#include "transport/SecureChannel.h"

namespace brindlet::transport {

// One TLS-PSK link over TCP (no delay), with the secure channel's parameters. Every failure,
// a failed handshake included (wrong key, unknown identity, a peer that will not speak TLS 1.2
// with the one suite), is TransportError connectionFailed with the TLS library's text.
// One read and one write may be outstanding at a time, all on the stream's executor.
class TlsStream {
 public:
  ~TlsStream();
  TlsStream(const TlsStream&) = delete;
  TlsStream& operator=(const TlsStream&) = delete;

  // Dials host:port and completes the handshake as the client.
  static boost::asio::awaitable<std::unique_ptr<TlsStream>> connect(
      boost::asio::any_io_executor executor, std::string host, std::uint16_t port,
      SecureChannel::Parameters parameters);
  // Completes the handshake as the server on an accepted connection.
  static boost::asio::awaitable<std::unique_ptr<TlsStream>> accept(
      boost::asio::ip::tcp::socket socket, SecureChannel::Parameters parameters);

  // At least one byte; 0 once the peer has ended its side.
  boost::asio::awaitable<std::size_t> readSome(std::span<std::uint8_t> buffer);
  boost::asio::awaitable<void> write(runtime::ByteView bytes);
  // Tells the peer the link ends (TLS close_notify) and waits for its answer or its close.
  boost::asio::awaitable<void> shutdown();
  // Closes the connection at once; outstanding operations fail.
  void cancel();

  boost::asio::any_io_executor executor() const;
  boost::asio::ip::tcp::endpoint remoteEndpoint() const;
  // The key identity the handshake used.
  std::string pskIdentity() const;

 private:
  struct Impl;
  explicit TlsStream(std::unique_ptr<Impl> impl);
  boost::asio::awaitable<void> handshake(bool asClient);

  std::unique_ptr<Impl> impl_;
};

}  // namespace brindlet::transport
