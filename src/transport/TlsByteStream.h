#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include <boost/asio/ip/tcp.hpp>

#include "runtime/ByteStream.h"
#include "transport/FrameConnection.h"
#include "transport/SecureChannel.h"

namespace brindlet::transport {

// A byte stream over TLS with pre-shared keys. Starting it dials and completes the handshake
// as the client, or completes the handshake as the server on an accepted socket; it reports
// ready only once the handshake is done, and failed with the TLS library's text otherwise.
class TlsByteStream : public runtime::ByteStream {
 public:
  static std::shared_ptr<TlsByteStream> dial(const boost::asio::any_io_executor& executor,
                                             std::string host, std::uint16_t port,
                                             SecureChannel::Parameters parameters);
  static std::shared_ptr<TlsByteStream> adopt(boost::asio::ip::tcp::socket socket,
                                              SecureChannel::Parameters parameters);

  // The key identity the handshake used; empty until the stream is ready.
  virtual std::string pskIdentity() const = 0;
};

// Dials host-and-port endpoints with TLS and the given keys.
ConnectionParameters secureTls(SecureChannel::Parameters parameters);

}  // namespace brindlet::transport
