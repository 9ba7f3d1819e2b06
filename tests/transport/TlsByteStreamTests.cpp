// Framed links and the hello handshake over TLS byte streams, dialled and accepted on loopback.
// Which keys make a handshake succeed is shown on the TLS stream itself (TlsStreamTests).

#include <gtest/gtest.h>

#include <openssl/ssl.h>

#include <algorithm>

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/asio/use_future.hpp>

#include "protocol/ControlEnvelope.h"
#include "runtime/Task.h"
#include "support/Loop.h"
#include "support/Streams.h"
#include "transport/FrameConnection.h"
#include "transport/Handshake.h"
#include "transport/TlsByteStream.h"

namespace brindlet::transport {
namespace {

namespace asio = boost::asio;
using asio::ip::tcp;
using namespace std::chrono_literals;
using brindlet::testing::runUntilDone;
using runtime::ByteStream;
using SecureChannel::Key;

Key key(std::string identity, std::uint8_t fill) {
  return Key{std::move(identity), SymmetricKey(runtime::Bytes(32, fill))};
}

protocol::Hello hello(std::string name) {
  protocol::Hello h;
  h.proto = 1;
  h.app = "1.0";
  h.device = "test";
  h.name = std::move(name);
  return h;
}

// The lengths of the application-data records a TLS context receives, from its record headers.
void noteRecord(int written, int, int type, const void* bytes, std::size_t length, SSL*,
                void* lengths) {
  const auto* header = static_cast<const std::uint8_t*>(bytes);
  if (written || type != SSL3_RT_HEADER || length != 5 || header[0] != SSL3_RT_APPLICATION_DATA)
    return;
  static_cast<std::vector<std::size_t>*>(lengths)->push_back(std::size_t(header[3]) << 8 |
                                                             header[4]);
}

// Every frame is sealed with its header: a small frame is one record, and no record carries a
// header alone (ChaCha20-Poly1305 adds 16 bytes to what a record holds).
TEST(TlsByteStream, CarriesAWholeLinkWithItsHandshake) {
  asio::io_context io;
  tcp::acceptor acceptor(io, tcp::endpoint(asio::ip::make_address("127.0.0.1"), 0));
  const auto port = acceptor.local_endpoint().port();
  const std::vector<Key> keys = {key("pair:mac-1", 7)};
  std::vector<protocol::Frame> received;
  std::string reason;
  std::vector<std::size_t> records;
  const auto phoneKeys = SecureChannel::parameters(keys);
  SSL_CTX_set_msg_callback(phoneKeys.native(), noteRecord);
  SSL_CTX_set_msg_callback_arg(phoneKeys.native(), &records);
  auto phone = [&]() -> asio::awaitable<void> {
    auto stream =
        TlsByteStream::adopt(co_await acceptor.async_accept(asio::use_awaitable), phoneKeys);
    co_await startAndWait(stream, 5s);
    auto link = FrameConnection::make(stream);
    auto peer = co_await Handshake::run(link, hello("phone"));
    EXPECT_EQ(peer.name, "computer");
    while (auto frame = co_await link->receive()) received.push_back(std::move(*frame));
    reason = co_await link->closed();
  };
  auto computer = [&]() -> asio::awaitable<void> {
    auto link = co_await FrameConnection::connect(co_await asio::this_coro::executor,
                                                  runtime::Endpoint::hostPort("127.0.0.1", port),
                                                  secureTls(SecureChannel::parameters(keys)), 5s);
    auto peer = co_await Handshake::run(link, hello("computer"));
    EXPECT_EQ(peer.name, "phone");
    // Named values, not temporaries, in co_await expressions: g++ 12 may destroy such a
    // temporary twice.
    protocol::Frame video{protocol::Channel::video, protocol::FrameFlags::keyframe,
                          runtime::Bytes((3 << 20) + 50, 5)};
    co_await link->send(std::move(video));
    for (int i = 0; i < 10; ++i) {
      protocol::Frame small{protocol::Channel::video, {}, runtime::Bytes(100, 1)};
      co_await link->send(std::move(small));
    }
    protocol::ControlMessage ping(protocol::Ping{2.5});
    co_await link->send(std::move(ping));
    std::string reason = "pairingEnded";
    co_await link->close(reason);
  };
  auto phoneDone = asio::co_spawn(io, phone(), asio::use_future);
  runUntilDone(io, computer());
  io.restart();
  io.run_for(5s);
  ASSERT_EQ(phoneDone.wait_for(0s), std::future_status::ready);
  phoneDone.get();
  ASSERT_EQ(received.size(), 13u);
  EXPECT_EQ(received[0].payload.size(), std::size_t(3 << 20) + 50);
  EXPECT_EQ(protocol::ControlEnvelope::of(received[11]).message,
            protocol::ControlMessage(protocol::Ping{2.5}));
  EXPECT_EQ(std::count(records.begin(), records.end(), 6 + 16), 0);
  EXPECT_EQ(std::count(records.begin(), records.end(), 106 + 16), 10);
  EXPECT_EQ(protocol::ControlEnvelope::of(received[12]).message,
            protocol::ControlMessage(protocol::Bye{"pairingEnded"}));
  EXPECT_EQ(reason,
            "closed");  // the bye is the message; the receiving end records no reason of its own
}

TEST(TlsByteStream, CancelDuringTheHandshakeEndsQuietly) {
  asio::io_context io;
  tcp::acceptor acceptor(io, tcp::endpoint(asio::ip::make_address("127.0.0.1"), 0));
  auto client =
      TlsByteStream::dial(io.get_executor(), "127.0.0.1", acceptor.local_endpoint().port(),
                          SecureChannel::parameters({key("mac", 1)}));
  auto start = brindlet::testing::startWatching(*client);
  auto task = [&]() -> asio::awaitable<ByteStream::State> {
    // A peer that accepts and never answers the handshake.
    auto silent = co_await acceptor.async_accept(asio::use_awaitable);
    client->cancel();
    auto result = co_await start->wait();
    co_return result.state;
  };
  EXPECT_EQ(runUntilDone(io, task()), ByteStream::State::cancelled);
}

}  // namespace
}  // namespace brindlet::transport
