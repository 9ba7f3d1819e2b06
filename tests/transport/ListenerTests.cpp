// Listener readiness on real sockets, and which peers count as this machine.

#include <gtest/gtest.h>

#include <boost/asio/ip/tcp.hpp>

#include "LinkHarness.h"
#include "runtime/SocketByteStream.h"
#include "support/Loop.h"
#include "transport/Listener.h"

namespace brindlet::transport::testing {
namespace {

using runtime::Endpoint;

TEST(IsLoopback, AcceptsOnlyThisMachinesAddresses) {
  struct Case {
    Endpoint endpoint;
    bool loopback;
  };
  const Case cases[] = {
      {Endpoint::hostPort("127.0.0.1", 9000), true},
      {Endpoint::hostPort("127.3.2.1", 1), true},
      {Endpoint::hostPort("::1", 9000), true},
      {Endpoint::hostPort("::ffff:127.0.0.1", 9000), true},
      {Endpoint::hostPort("::ffff:127.0.0.2", 9000), false},
      {Endpoint::hostPort("localhost", 9000), true},
      {Endpoint::hostPort("LOCALHOST", 9000), false},
      {Endpoint::hostPort("localhost.", 9000), false},
      {Endpoint::hostPort("192.168.1.20", 9000), false},
      {Endpoint::hostPort("fe80::1", 9000), false},
      {Endpoint::hostPort("", 9000), false},
      {Endpoint::unixPath("/run/usbmuxd"), false},
      {Endpoint::other("Phone._velvane._tcp.local."), false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(isLoopback(c.endpoint), c.loopback) << c.endpoint.host << c.endpoint.path;
  }
}

struct ListenerHarness {
  asio::io_context io;
  runtime::LogCapture log;

  void waitReady(const std::shared_ptr<Listener>& listener) {
    brindlet::testing::runUntilDone(io, waitUntilReady(listener));
  }
  std::vector<std::string> messages(runtime::LogLevel level) const {
    return log.messages("transport", level);
  }
};

TEST(WaitUntilReady, ReadyListenerHandsOverLoopbackConnections) {
  ListenerHarness h;
  auto listener = Listener::plain(h.io.get_executor(), 0);
  EXPECT_EQ(listener->port(), std::nullopt);  // not bound yet
  std::vector<std::shared_ptr<runtime::ByteStream>> accepted;
  listener->setNewConnectionHandler([&](auto stream, auto) { accepted.push_back(stream); });
  h.waitReady(listener);
  ASSERT_TRUE(listener->port());

  for (const char* host : {"127.0.0.1", "::1"}) {
    auto client = runtime::TcpByteStream::dial(h.io.get_executor(), host, *listener->port());
    client->start();
    const auto before = accepted.size();
    h.io.restart();
    while (accepted.size() == before && h.io.run_one_for(std::chrono::seconds(5))) {
    }
    ASSERT_EQ(accepted.size(), before + 1) << host;
    auto server = accepted.back();
    brindlet::testing::runUntilDone(h.io, startAndWait(server, std::chrono::seconds(5)));
    EXPECT_TRUE(isLoopback(server->remoteEndpoint())) << server->remoteEndpoint().host;
    client->cancel();
    server->cancel();
  }
  listener->cancel();
  brindlet::testing::drain(h.io);
  EXPECT_EQ(h.messages(runtime::LogLevel::debug),
            (std::vector<std::string>{"Listener on " + std::to_string(*listener->port()) +
                                      " cancelled"}));
}

// A port in use: the phone transport's TLS listener (ClientTransportTests).
TEST(WaitUntilReady, ListenerCancelledBeforeItWasReadyGivesClosed) {
  ListenerHarness h;
  auto listener = Listener::plain(h.io.get_executor(), 0);
  listener->cancel();
  try {
    h.waitReady(listener);
    FAIL() << "a cancelled listener became ready";
  } catch (const TransportError& e) {
    EXPECT_EQ(e, TransportError::closed());
  }
  EXPECT_EQ(h.messages(runtime::LogLevel::debug),
            (std::vector<std::string>{"Listener on 0 cancelled"}));
}

}  // namespace
}  // namespace brindlet::transport::testing
