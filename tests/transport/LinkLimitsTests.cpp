// What bounds a link and a listener: the send queue's high-water mark, the frame size before
// the hello, the unfinished connections of a listener, running out of file descriptors, and a
// stream failing at any point of a handshake and a pairing.

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <fstream>

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/write.hpp>

#include "runtime/ManualClock.h"
#include "support/Loop.h"
#include "transport/Handshake.h"
#include "transport/LinkHarness.h"
#include "transport/Listener.h"
#include "transport/PhoneHarness.h"

namespace brindlet::transport::testing {
namespace {

using asio::ip::tcp;
using protocol::ProtocolError;

std::optional<TransportError> completionOf(LinkHarness& h, Frame frame) {
  std::optional<TransportError> result = TransportError::closed();
  h.link->send(std::move(frame), [&](std::optional<TransportError> e) { result = e; });
  h.drain();
  return result;
}

TEST(LinkLimits, SendsPastTheHighWaterMarkAreRefusedAndTheLinkStays) {
  LinkOptions options;
  options.sendHighWater = 100;
  LinkHarness h({}, options);
  h.local->holdWrites(true);
  std::vector<std::optional<TransportError>> completions;
  for (int i = 0; i < 3; ++i) {
    h.link->send(videoFrame(40), [&](auto e) { completions.push_back(e); });
  }
  h.drain();
  // Two frames of 46 bytes wait; the third would pass 100 and is refused at once.
  EXPECT_EQ(completions, (std::vector<std::optional<TransportError>>{
                             TransportError::connectionFailed("send queue full")}));
  EXPECT_EQ(h.link->bytesOutstanding(), 92u);
  EXPECT_FALSE(h.link->isClosed());
  h.local->holdWrites(false);
  h.drain();
  EXPECT_EQ(completions.size(), 3u);
  EXPECT_EQ(h.link->bytesOutstanding(), 0u);
  EXPECT_EQ(completionOf(h, videoFrame(90)), std::nullopt);
  EXPECT_EQ(h.seen->frames.size(), 3u);
}

// The peer's hello lifts the limit for what follows it, even in the same bytes: the peer may
// send large frames as soon as it has our hello, before our side has read its.
TEST(LinkLimits, BeforeTheHelloOnlySmallFramesAreTaken) {
  struct Case {
    std::uint32_t declared;
    bool afterHello;
    std::optional<TransportError> failure;
  };
  const Case cases[] = {
      {65536, false, std::nullopt},
      {65537, false, TransportError::protocolViolation(ProtocolError::oversized(65537))},
      {8388608, false, TransportError::protocolViolation(ProtocolError::oversized(8388608))},
      {3 << 20, true, std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.declared);
    LinkHarness h;
    const Bytes hello = c.afterHello ? encoded(ControlEnvelope(1, helloOf("peer"))) : Bytes{};
    h.peerWrites(joined({hello, encoded(videoFrame(c.declared))}));
    if (c.afterHello) {
      EXPECT_TRUE(h.run(h.link->receive()));
    }
    try {
      auto frame = h.run(h.link->receive());
      ASSERT_TRUE(frame);
      EXPECT_EQ(frame->payload.size(), c.declared);
      EXPECT_EQ(c.failure, std::nullopt);
    } catch (const TransportError& e) {
      EXPECT_EQ(e, c.failure);
    }
  }
}

std::size_t residentBytes() {
  std::ifstream statm("/proc/self/statm");
  std::size_t size = 0, resident = 0;
  statm >> size >> resident;
  return resident * std::size_t(sysconf(_SC_PAGESIZE));
}

// A peer that has not said hello: connects to the phone's plain port, declares an 8 MiB frame
// and sends what the socket takes of it at once, without waiting.
tcp::socket silentPeer(asio::io_context& io, std::uint16_t port, std::size_t payload) {
  tcp::socket socket(io);
  socket.connect({asio::ip::address_v4::loopback(), port});
  socket.non_blocking(true);
  if (payload > 0) {
    Bytes bytes = encoded(videoFrame(8388608));
    bytes.resize(protocol::FrameHeader::size + payload);
    boost::system::error_code ignored;
    socket.write_some(asio::buffer(bytes), ignored);
  }
  return socket;
}

// Whether the phone has closed the peer's connection: it reads the end of the stream (after
// whatever the phone said first).
bool endedByPhone(tcp::socket& socket) {
  std::uint8_t buffer[4096];
  boost::system::error_code ec;
  while (!ec) socket.read_some(asio::buffer(buffer), ec);
  return ec == asio::error::eof || ec == asio::error::connection_reset;
}

TEST(LinkLimits, PeersThatNeverSayHelloCannotMakeThePhoneHoldTheirFrames) {
  PhoneHarness h;
  h.makeAndStart(false);
  const auto before = residentBytes();
  std::vector<tcp::socket> peers;
  std::size_t peak = 0;
  for (int i = 0; i < 200; ++i) {
    peers.push_back(silentPeer(h.io, h.plainPort, 1 << 20));
    brindlet::testing::drain(h.io);
    if (i % 20 == 19) peak = std::max(peak, residentBytes());
  }
  h.drainFor(200ms);
  peak = std::max(peak, residentBytes());
  peers.clear();
  h.drainFor(200ms);
  const auto after = residentBytes();
#ifndef __SANITIZE_ADDRESS__  // AddressSanitizer keeps freed memory aside on purpose
  EXPECT_LT(peak, before + (64u << 20));
  EXPECT_LT(after, before + (64u << 20));
#else
  (void)before, (void)after;
#endif
}

TEST(LinkLimits, AListenerKeepsAtMostSixteenConnectionsThatHaveNotSaidHello) {
  PhoneHarness h;
  h.makeAndStart(false);
  std::vector<tcp::socket> waiting;
  for (int i = 0; i < 16; ++i) waiting.push_back(silentPeer(h.io, h.plainPort, 0));
  h.drainFor(100ms);
  auto seventeenth = silentPeer(h.io, h.plainPort, 0);
  h.drainFor(100ms);
  EXPECT_TRUE(endedByPhone(seventeenth));
  EXPECT_FALSE(endedByPhone(waiting.front()));
  // One gives up; its place goes to the next.
  waiting.front().close();
  h.drainFor(100ms);
  auto next = silentPeer(h.io, h.plainPort, 0);
  h.drainFor(100ms);
  EXPECT_FALSE(endedByPhone(next));
}

// Lowers the descriptor limit to what is open now plus `spare` and uses up the spare ones.
class DescriptorsExhausted {
 public:
  explicit DescriptorsExhausted(int spare) {
    getrlimit(RLIMIT_NOFILE, &saved_);
    rlimit lowered = saved_;
    lowered.rlim_cur = openNow() + rlim_t(spare);
    setrlimit(RLIMIT_NOFILE, &lowered);
    for (int fd; (fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC)) >= 0;) held_.push_back(fd);
  }
  ~DescriptorsExhausted() { release(); }
  void release() {
    for (int fd : held_) ::close(fd);
    held_.clear();
    setrlimit(RLIMIT_NOFILE, &saved_);
  }

 private:
  static rlim_t openNow() {
    rlim_t highest = 0;
    for (int fd = 0; fd < 65536; ++fd) {
      if (fcntl(fd, F_GETFD) >= 0) highest = rlim_t(fd) + 1;
    }
    return highest;
  }

  rlimit saved_{};
  std::vector<int> held_;
};

TEST(LinkLimits, AListenerOutOfDescriptorsPausesAndServesOnceTheyAreFree) {
  asio::io_context io;
  runtime::LogCapture log;
  auto clock = std::make_shared<runtime::ManualClock>();
  ListenerOptions options;
  options.clock = clock;
  auto listener = Listener::plain(io.get_executor(), 0, options);
  std::vector<std::shared_ptr<runtime::ByteStream>> accepted;
  listener->setNewConnectionHandler([&](auto stream, auto) { accepted.push_back(stream); });
  brindlet::testing::runUntilDone(io, waitUntilReady(listener));
  const auto port = *listener->port();
  tcp::socket client(io);
  client.open(tcp::v4());

  DescriptorsExhausted exhausted(0);
  client.connect({asio::ip::address_v4::loopback(), port});  // waits in the backlog
  io.restart();
  io.run_for(100ms);
  EXPECT_TRUE(accepted.empty());
  const std::string paused =
      "Listener on " + std::to_string(port) + ": Too many open files; accepting again in 100 ms";
  EXPECT_EQ(log.messages("transport", runtime::LogLevel::error), std::vector<std::string>{paused});
  // A shortage that lasts is one error; its further pauses show at debug.
  for (int pause = 0; pause < 3; ++pause) {
    clock->advance(100ms);
    io.restart();
    io.run_for(50ms);
  }
  EXPECT_EQ(log.messages("transport", runtime::LogLevel::error), std::vector<std::string>{paused});
  EXPECT_EQ(log.messages("transport", runtime::LogLevel::debug),
            std::vector<std::string>(3, paused));

  exhausted.release();
  clock->advance(100ms);
  io.restart();
  while (accepted.empty() && io.run_one_for(5s)) {
  }
  ASSERT_EQ(accepted.size(), 1u);
  EXPECT_EQ(log.messages("transport", runtime::LogLevel::info),
            std::vector<std::string>{"Listener on " + std::to_string(port) + " accepts again"});
  brindlet::testing::runUntilDone(io, startAndWait(accepted[0], 5s));
  const std::uint8_t hello[] = {1, 2, 3};
  asio::write(client, asio::buffer(hello));
  auto got = brindlet::testing::runUntilDone(io, brindlet::testing::readExactly(*accepted[0], 3));
  EXPECT_EQ(got.bytes, (Bytes{1, 2, 3}));
  accepted[0]->cancel();
  listener->cancel();
  brindlet::testing::drain(io);
}

// Both ends of a hello exchange and the pairing key that follows it, over a memory pair whose
// computer end fails at its n-th read or write, and whose reads bring at most `readSize` bytes.
struct SweepRun {
  std::exception_ptr computer, phone;
  bool keyArrived = false;
};

SweepRun pairOverMemory(std::size_t failAfter, std::size_t readSize) {
  asio::io_context io;
  auto [a, b] = runtime::MemoryByteStream::pair(io.get_executor());
  a->failAfter(failAfter);
  a->maxReadSize(readSize);
  b->maxReadSize(readSize);
  auto clock = std::make_shared<runtime::ManualClock>();
  LinkOptions options;
  options.clock = clock;
  auto computer = FrameConnection::make(a, {}, options);
  auto phone = FrameConnection::make(b, {}, options);
  SweepRun run;
  auto computerSide = [&]() -> asio::awaitable<void> {
    try {
      co_await Handshake::run(computer, helloOf("computer"));
      auto frame = co_await computer->receive();
      run.keyArrived =
          frame && protocol::ControlEnvelope::of(*frame).message.as<protocol::PairOK>() != nullptr;
    } catch (...) {
      run.computer = std::current_exception();
    }
  };
  auto phoneSide = [&]() -> asio::awaitable<void> {
    try {
      co_await Handshake::run(phone, helloOf("phone"));
      protocol::ControlMessage ok(protocol::PairOK{Bytes(32, 1)});
      co_await phone->send(std::move(ok));
    } catch (...) {
      run.phone = std::current_exception();
    }
  };
  runtime::spawn(io.get_executor(), computerSide());
  runtime::spawn(io.get_executor(), phoneSide());
  brindlet::testing::drain(io);
  // A side left waiting for a hello that cannot come any more gives up after its time-out.
  clock->advance(Handshake::defaultTimeout);
  brindlet::testing::drain(io);
  computer.reset();
  phone.reset();
  brindlet::testing::drain(io);
  return run;
}

// The errors a side may end with when its stream breaks: the failure itself, a send on the
// link it already ended, or the end of the link.
bool documented(const std::exception_ptr& error) {
  const auto e = TransportError::from(error);
  return e.kind() == TransportError::Case::connectionFailed || e == TransportError::closed() ||
         e == TransportError::helloTimeout();
}

TEST(LinkLimits, AStreamFailingAtAnyPointEndsInTheDocumentedError) {
  for (std::size_t readSize : {std::size_t(1), std::size_t(7), std::size_t(1) << 20}) {
    std::size_t n = 0;
    for (;; ++n) {
      SCOPED_TRACE("read size " + std::to_string(readSize) + ", failing after " +
                   std::to_string(n));
      ASSERT_LT(n, 2000u);
      const auto run = pairOverMemory(n, readSize);
      if (!run.computer && !run.phone && run.keyArrived) break;
      EXPECT_TRUE(run.computer || !run.keyArrived);
      for (const auto& error : {run.computer, run.phone}) {
        if (error) {
          EXPECT_TRUE(documented(error)) << runtime::describe(error);
        }
      }
    }
    EXPECT_GT(n, 2u);
  }
}

}  // namespace
}  // namespace brindlet::transport::testing
