#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include <boost/asio/awaitable.hpp>
#include <boost/asio/cancellation_signal.hpp>
#include <boost/asio/ip/tcp.hpp>

#include "runtime/SerialByteStream.h"
#include "transport/SecureChannel.h"

namespace brindlet::transport {

class TlsStream;

// A byte stream over TLS with pre-shared keys. Starting it dials and completes the handshake
// as the client, or completes the handshake as the server on an accepted socket; it reports
// ready only once the handshake is done, and failed with the TLS library's text otherwise.
class TlsByteStream final : public runtime::SerialByteStream {
 public:
  static std::shared_ptr<TlsByteStream> dial(const boost::asio::any_io_executor& executor,
                                             std::string host, std::uint16_t port,
                                             SecureChannel::Parameters parameters);
  static std::shared_ptr<TlsByteStream> adopt(boost::asio::ip::tcp::socket socket,
                                              SecureChannel::Parameters parameters);
  ~TlsByteStream() override;

  void read(std::size_t maxBytes, ReadCompletion completion) override;
  void readInto(std::span<std::uint8_t> buffer, ReadCompletion completion) override;
  // The key identity the handshake used; empty until the stream is ready.
  std::string pskIdentity() const;

 private:
  struct Dial {
    std::string host;
    std::uint16_t port;
  };

  TlsByteStream(const boost::asio::any_io_executor& executor, std::optional<Dial> dial,
                std::optional<boost::asio::ip::tcp::socket> accepted,
                SecureChannel::Parameters parameters);

  void establish() override;
  void writeOne(runtime::ByteView head, runtime::ByteView body, Done done) override;
  void closeTransport() override;

  std::shared_ptr<TlsByteStream> self();
  boost::asio::awaitable<void> handshake();
  void readOnStrand(std::span<std::uint8_t> buffer, ReadCompletion completion);
  boost::asio::awaitable<void> readOnce(std::span<std::uint8_t> buffer, ReadCompletion completion);
  boost::asio::awaitable<void> writeBoth(runtime::ByteView head, runtime::ByteView body, Done done);

  std::optional<Dial> dial_;
  std::optional<boost::asio::ip::tcp::socket> accepted_;
  SecureChannel::Parameters parameters_;
  boost::asio::cancellation_signal handshakeCancel_;
  std::unique_ptr<TlsStream> tls_;
  runtime::Bytes readBuffer_;
  runtime::Bytes recordBuffer_;  // the header and the start of a body, sealed as one record
  mutable std::mutex identityMutex_;
  std::string identity_;
};

}  // namespace brindlet::transport
