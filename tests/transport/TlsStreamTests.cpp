#include <gtest/gtest.h>

#include <boost/asio/use_awaitable.hpp>

#include "TlsTestSupport.h"
#include "transport/PairingCode.h"

namespace brindlet::transport {
namespace {

using SecureChannel::Key;

struct Ends {
  std::optional<TransportError> client;
  std::optional<TransportError> server;
  std::string identitySeen;
};

// Our dialler against our listener on loopback; on success each side sends one frame.
Ends link(std::vector<Key> dial, std::vector<Key> listen) {
  asio::io_context io;
  tcp::acceptor acceptor(io, tcp::endpoint(asio::ip::make_address("127.0.0.1"), 0));
  std::uint16_t port = acceptor.local_endpoint().port();
  Ends ends;
  auto server = [&]() -> asio::awaitable<void> {
    tcp::socket socket = co_await acceptor.async_accept(asio::use_awaitable);
    auto stream = co_await TlsStream::accept(std::move(socket), SecureChannel::parameters(listen));
    ends.identitySeen = stream->pskIdentity();
    protocol::Frame got = co_await readFrame(*stream);
    EXPECT_EQ(got, sampleFrame(protocol::Channel::control, 100, 1));
    co_await stream->write(sampleFrame(protocol::Channel::video, 300'000, 2).encoded());
    co_await stream->shutdown();
  };
  auto client = [&]() -> asio::awaitable<void> {
    auto stream = co_await TlsStream::connect(io.get_executor(), "127.0.0.1", port,
                                              SecureChannel::parameters(dial));
    co_await stream->write(sampleFrame(protocol::Channel::control, 100, 1).encoded());
    protocol::Frame got = co_await readFrame(*stream);
    EXPECT_EQ(got, sampleFrame(protocol::Channel::video, 300'000, 2));
    std::uint8_t rest[16];
    EXPECT_EQ(co_await stream->readSome(rest), 0u);  // the listener's close_notify
  };
  auto serverDone = asio::co_spawn(io, server(), asio::use_future);
  auto clientDone = asio::co_spawn(io, client(), asio::use_future);
  io.run_for(std::chrono::seconds(10));
  ends.client = errorOf(clientDone);
  ends.server = errorOf(serverDone);
  return ends;
}

TEST(TlsStream, LoopbackHandshakes) {
  const std::string mac = "A1B2C3D4-0000-4000-8000-000000000001";
  const SymmetricKey paired = keyOf(32, 0x11);
  const SymmetricKey code = PairingCode::derivedKey("123456", mac, "phone");
  struct Case {
    const char* name;
    std::vector<Key> dial;
    std::vector<Key> listen;
    bool succeeds;
  };
  const Case cases[] = {
      {"paired", {{mac, paired}}, {{"someone", keyOf(32, 1)}, {mac, paired}}, true},
      {"pairing code",
       {{PairingCode::pairingIdentity(mac), code}},
       {{mac, paired}, {PairingCode::pairingIdentity(mac), code}},
       true},
      {"wrong key", {{mac, keyOf(32, 0x12)}}, {{mac, paired}}, false},
      {"unknown identity", {{"stranger", paired}}, {{mac, paired}}, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Ends ends = link(c.dial, c.listen);
    if (c.succeeds) {
      EXPECT_FALSE(ends.client) << ends.client->text();
      EXPECT_FALSE(ends.server) << ends.server->text();
      EXPECT_EQ(ends.identitySeen, c.dial.front().identity);
    } else {
      ASSERT_TRUE(ends.client && ends.server);
      EXPECT_EQ(ends.client->kind(), TransportError::Case::connectionFailed) << ends.client->text();
      EXPECT_EQ(ends.server->kind(), TransportError::Case::connectionFailed) << ends.server->text();
    }
  }
}

TEST(TlsStream, DialingNobodyFails) {
  asio::io_context io;
  tcp::acceptor probe(io, tcp::endpoint(asio::ip::make_address("127.0.0.1"), 0));
  std::uint16_t port = probe.local_endpoint().port();
  probe.close();
  auto done = runFor(io, TlsStream::connect(io.get_executor(), "127.0.0.1", port,
                                            SecureChannel::parameters({{"x", keyOf(32, 1)}})));
  auto error = errorOf(done);
  ASSERT_TRUE(error);
  EXPECT_EQ(error->kind(), TransportError::Case::connectionFailed);
  EXPECT_EQ(error->detail(), "Connection refused");
}

}  // namespace
}  // namespace brindlet::transport
