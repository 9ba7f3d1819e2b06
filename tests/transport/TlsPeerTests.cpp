#include <gtest/gtest.h>

#include <future>

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/asio/use_future.hpp>

#include "protocol/Frame.h"
#include "support/ChildProcess.h"
#include "transport/TlsStream.h"
#include "transport/TransportError.h"

namespace brindlet::transport {
namespace {

namespace asio = boost::asio;
using asio::ip::tcp;

// TLS with pre-shared keys against openssl s_server and s_client.

// Runs one coroutine on the loop until it ends or the time runs out.
template <class T>
std::future<T> runFor(asio::io_context& io, asio::awaitable<T> task,
                      std::chrono::seconds limit = std::chrono::seconds(10)) {
  auto future = asio::co_spawn(io, std::move(task), asio::use_future);
  io.restart();
  io.run_for(limit);
  EXPECT_EQ(future.wait_for(std::chrono::seconds(0)), std::future_status::ready) << "timed out";
  return future;
}

// The transport error a finished task ended with, if any.
template <class T>
std::optional<TransportError> errorOf(std::future<T>& future) {
  try {
    future.get();
  } catch (const TransportError& e) {
    return e;
  }
  return std::nullopt;
}

asio::awaitable<protocol::Frame> readFrame(TlsStream& stream) {
  protocol::FrameParser parser;
  std::uint8_t buffer[65536];
  for (;;) {
    std::size_t n = co_await stream.readSome(buffer);
    if (n == 0) throw TransportError::closed();
    auto frames = parser.push(runtime::ByteView(buffer, n));
    if (!frames.empty()) co_return frames.front();
  }
}

protocol::Frame sampleFrame(protocol::Channel channel, std::size_t size, std::uint8_t seed) {
  protocol::Frame frame{channel, protocol::FrameFlags::keyframe, runtime::Bytes(size)};
  for (std::size_t i = 0; i < size; ++i) frame.payload[i] = static_cast<std::uint8_t>(seed + i * 7);
  return frame;
}

SymmetricKey keyOf(std::size_t size, std::uint8_t fill) {
  return SymmetricKey(runtime::Bytes(size, fill));
}

using namespace std::chrono_literals;
using SecureChannel::Key;
using testsupport::ChildProcess;

const std::string identity = "A1B2C3D4-0000-4000-8000-000000000001";
const SymmetricKey key = keyOf(32, 0x5A);

std::string hexOf(const SymmetricKey& k) {
  static const char digits[] = "0123456789abcdef";
  std::string out;
  for (std::uint8_t b : k.bytes()) {
    out += digits[b >> 4];
    out += digits[b & 15];
  }
  return out;
}

std::string text(const runtime::Bytes& bytes) {
  return std::string(runtime::asText(bytes));
}

std::uint16_t freeLoopbackPort() {
  asio::io_context io;
  tcp::acceptor probe(io, tcp::endpoint(asio::ip::make_address("127.0.0.1"), 0));
  return probe.local_endpoint().port();
}

// The peer's own options: the protocol version it insists on, its key and the identity it
// uses or expects.
struct PeerSettings {
  PeerSettings(std::string version = "-tls1_2", SymmetricKey secret = key,
               std::string identity = transport::identity)
      : version(std::move(version)), secret(std::move(secret)), identity(std::move(identity)) {}
  std::string version;
  SymmetricKey secret;
  std::string identity;
};

std::vector<std::string> tlsOptions(const PeerSettings& peer) {
  return {"-psk",
          hexOf(peer.secret),
          "-psk_identity",
          peer.identity,
          peer.version,
          "-cipher",
          SecureChannel::cipherSuite,
          "-ciphersuites",
          "TLS_CHACHA20_POLY1305_SHA256"};
}

std::unique_ptr<ChildProcess> startServer(std::uint16_t port, const PeerSettings& peer) {
  std::vector<std::string> argv = {
      "openssl", "s_server", "-accept", "127.0.0.1:" + std::to_string(port),
      "-nocert", "-naccept", "1"};
  for (auto& option : tlsOptions(peer)) argv.push_back(option);
  auto server = std::make_unique<ChildProcess>(argv);
  EXPECT_TRUE(server->waitFor("ACCEPT", 10s)) << server->output();
  return server;
}

TEST(TlsPeer, OurClientWithOpensslServer) {
  const protocol::Frame ours = sampleFrame(protocol::Channel::video, 5000, 3);
  const protocol::Frame theirs = sampleFrame(protocol::Channel::control, 40, 9);
  std::uint16_t port = freeLoopbackPort();
  auto server = startServer(port, {});
  server->write(text(theirs.encoded()));  // sent by the server once a client is connected

  asio::io_context io;
  const SecureChannel::Parameters dial = SecureChannel::parameters({{identity, key}});
  auto done = runFor(io, [&]() -> asio::awaitable<protocol::Frame> {
    auto stream = co_await TlsStream::connect(io.get_executor(), "127.0.0.1", port, dial);
    co_await stream->write(ours.encoded());
    co_return co_await readFrame(*stream);
  }());
  EXPECT_EQ(done.get(), theirs);
  EXPECT_TRUE(server->waitFor(text(ours.encoded()), 10s));
}

TEST(TlsPeer, OurClientRefusedByOpensslServer) {
  struct Case {
    const char* name;
    PeerSettings server;
  };
  const Case cases[] = {
      {"wrong key", {"-tls1_2", keyOf(32, 0x5B), identity}},
      {"peer speaks only TLS 1.3", {"-tls1_3", key, identity}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::uint16_t port = freeLoopbackPort();
    auto server = startServer(port, c.server);
    asio::io_context io;
    auto done = runFor(io, TlsStream::connect(io.get_executor(), "127.0.0.1", port,
                                              SecureChannel::parameters({{identity, key}})));
    auto error = errorOf(done);
    ASSERT_TRUE(error);
    EXPECT_EQ(error->kind(), TransportError::Case::connectionFailed) << error->text();
    EXPECT_TRUE(server->waitFor("ERROR", 10s)) << server->output();
  }
}

struct ListenerRun {
  std::unique_ptr<ChildProcess> client;
  std::optional<TransportError> error;
  std::string identitySeen;
};

// Our listener takes one connection from openssl s_client; on success it reads one frame and
// answers with another.
ListenerRun listen(const PeerSettings& peer, const std::string& clientInput,
                   const protocol::Frame& answer) {
  asio::io_context io;
  tcp::acceptor acceptor(io, tcp::endpoint(asio::ip::make_address("127.0.0.1"), 0));
  std::vector<std::string> argv = {"openssl", "s_client", "-connect",
                                   "127.0.0.1:" + std::to_string(acceptor.local_endpoint().port()),
                                   "-quiet"};
  for (auto& option : tlsOptions(peer)) argv.push_back(option);
  ListenerRun run;
  run.client = std::make_unique<ChildProcess>(argv);
  run.client->write(clientInput);
  const SecureChannel::Parameters keys =
      SecureChannel::parameters({{"someone else", keyOf(32, 1)}, {identity, key}});
  auto done = runFor(io, [&]() -> asio::awaitable<protocol::Frame> {
    tcp::socket socket = co_await acceptor.async_accept(asio::use_awaitable);
    auto stream = co_await TlsStream::accept(std::move(socket), keys);
    run.identitySeen = stream->pskIdentity();
    protocol::Frame got = co_await readFrame(*stream);
    co_await stream->write(answer.encoded());
    co_return got;
  }());
  run.error = errorOf(done);
  return run;
}

TEST(TlsPeer, OpensslClientWithOurListener) {
  const protocol::Frame theirs = sampleFrame(protocol::Channel::video, 7000, 5);
  const protocol::Frame ours = sampleFrame(protocol::Channel::control, 64, 8);
  ListenerRun run = listen({}, text(theirs.encoded()), ours);
  EXPECT_FALSE(run.error) << run.error->text();
  EXPECT_EQ(run.identitySeen, identity);
  EXPECT_TRUE(run.client->waitFor(text(ours.encoded()), 10s));
}

TEST(TlsPeer, OpensslClientRefusedByOurListener) {
  struct Case {
    const char* name;
    PeerSettings client;
  };
  const Case cases[] = {
      {"wrong key", {"-tls1_2", keyOf(32, 0x5B), identity}},
      {"unknown identity", {"-tls1_2", key, "stranger"}},
      {"pairing identity of a paired peer", {"-tls1_2", key, "pair:" + identity}},
      {"peer speaks only TLS 1.3", {"-tls1_3", key, identity}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ListenerRun run = listen(c.client, "", sampleFrame(protocol::Channel::control, 1, 1));
    ASSERT_TRUE(run.error);
    EXPECT_EQ(run.error->kind(), TransportError::Case::connectionFailed) << run.error->text();
    auto status = run.client->waitExit(10s);
    ASSERT_TRUE(status) << run.client->output();
    EXPECT_NE(*status, 0) << run.client->output();
  }
}

}  // namespace
}  // namespace brindlet::transport
