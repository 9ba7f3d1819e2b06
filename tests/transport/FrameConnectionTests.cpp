#include <gtest/gtest.h>

#include <thread>

#include "protocol/Enums.h"
#include "runtime/ManualClock.h"
#include "runtime/Timeout.h"
#include "support/Loop.h"
#include "transport/LinkHarness.h"

namespace brindlet::transport {
namespace {

using namespace testing;
using brindlet::testing::connectedPair;
using brindlet::testing::StreamKind;
using protocol::Bye;
using protocol::Ping;
using protocol::ProtocolError;
using runtime::ByteStream;

std::optional<std::string> byeReasonOf(const ControlEnvelope& e) {
  if (auto* bye = e.message.as<Bye>()) return bye->reason;
  return std::nullopt;
}

Ping ping(double t) {
  Ping p;
  p.ts = t;
  return p;
}

TEST(FrameConnection, TwoEndpointsExchangeFramesAndNumberedMessages) {
  for (auto kind : {StreamKind::memory, StreamKind::tcp}) {
    SCOPED_TRACE(brindlet::testing::nameOf(kind));
    asio::io_context io;
    testsupport::TempDir folder;
    auto [a, b] = brindlet::testing::runUntilDone(io, connectedPair(kind, folder));
    auto left = FrameConnection::make(a);
    auto right = FrameConnection::make(b);
    right->helloDone();  // takes frames of any size
    std::optional<TransportError> completion = TransportError::closed();
    auto talk = [&]() -> asio::awaitable<void> {
      co_await left->send(ControlMessage(helloOf("left")));
      left->sendControl(ping(1.5));
      co_await left->send(videoFrame(3 << 20, 9));
      left->send(videoFrame(10, 1), [&](std::optional<TransportError> e) { completion = e; });
      std::optional<std::string> busy(protocol::ByeReason::busy);
      co_await left->close(std::move(busy));
    };
    brindlet::testing::runUntilDone(io, talk());
    std::vector<Frame> frames;
    auto listen = [&]() -> asio::awaitable<void> {
      while (auto frame = co_await right->receive()) frames.push_back(std::move(*frame));
      EXPECT_EQ(co_await right->receive(), std::nullopt);
    };
    brindlet::testing::runUntilDone(io, listen());
    EXPECT_EQ(completion, std::nullopt);
    ASSERT_EQ(frames.size(), 5u);
    EXPECT_EQ(protocol::ControlEnvelope::of(frames[0]), ControlEnvelope(1, helloOf("left")));
    EXPECT_EQ(protocol::ControlEnvelope::of(frames[1]), ControlEnvelope(2, ping(1.5)));
    EXPECT_EQ(frames[2], videoFrame(3 << 20, 9));
    EXPECT_EQ(frames[3], videoFrame(10, 1));
    EXPECT_EQ(protocol::ControlEnvelope::of(frames[4]), ControlEnvelope(3, Bye{"busy"}));
    EXPECT_EQ(brindlet::testing::runUntilDone(io, left->closed()), "busy");
    EXPECT_EQ(brindlet::testing::runUntilDone(io, right->closed()), "closed");
  }
}

TEST(FrameConnection, ThreeConcurrentSendersNeverCorruptTheStream) {
  constexpr int frames = 200, pings = 200;
  for (auto kind : {StreamKind::memory, StreamKind::tcp}) {
    SCOPED_TRACE(brindlet::testing::nameOf(kind));
    asio::io_context io;
    testsupport::TempDir folder;
    auto [a, b] = brindlet::testing::runUntilDone(io, connectedPair(kind, folder));
    auto link = FrameConnection::make(a);
    auto seen = std::make_shared<PeerView>();
    std::atomic<int> completions = 0;
    std::thread video([&] {
      for (int i = 0; i < frames; ++i) {
        link->send(videoFrame(65536, std::uint8_t(i)), [&](auto) { ++completions; });
      }
    });
    std::thread control([&] {
      for (int i = 0; i < pings; ++i) link->sendControl(ping(i));
    });
    std::thread closer([&] {
      runtime::spawn(io.get_executor(),
                     link->close(std::string(protocol::ByeReason::userDisconnected)));
    });
    video.join();
    control.join();
    closer.join();
    brindlet::testing::runUntilDone(io, pumpPeer(b, seen));
    brindlet::testing::drain(io);
    EXPECT_FALSE(seen->brokenStream);
    int videos = 0;
    std::uint32_t lastId = 0;
    std::vector<std::string> byes;
    for (const auto& f : seen->frames) {
      if (f.channel == Channel::video) {
        EXPECT_EQ(f, videoFrame(65536, std::uint8_t(videos++)));
      } else {
        auto envelope = protocol::ControlEnvelope::of(f);
        EXPECT_NE(envelope.id, lastId);
        lastId = envelope.id;
        if (auto reason = byeReasonOf(envelope)) byes.push_back(*reason);
      }
    }
    EXPECT_EQ(byes, std::vector<std::string>{"userDisconnected"});
    EXPECT_EQ(brindlet::testing::runUntilDone(io, link->closed()), "userDisconnected");
    EXPECT_EQ(completions, frames);
  }
}

TEST(FrameConnection, EndingsAndTheFirstReasonWins) {
  struct Case {
    const char* name;
    std::function<void(LinkHarness&)> act;
    std::vector<std::string> receives;  // "frame", "none" or an error's text, per receive() call
    std::string reason;
    std::vector<std::string> byesSeen;
    bool streamReleased;
  };
  const Bytes two = joined({encoded(videoFrame(3)), encoded(videoFrame(4))});
  const Case cases[] = {
      {"close without a reason",
       [](auto& h) {
         h.run(h.link->close());
         h.run(h.link->close(std::string("busy")));
       },
       {"none", "none"},
       "closed",
       {},
       true},
      {"close with busy",
       [](auto& h) { h.run(h.link->close(std::string("busy"))); },
       {"none"},
       "busy",
       {"busy"},
       true},
      {"peer sends two frames and ends its stream in one read",
       [&](auto& h) {
         h.peer->write(two, [](auto) {});
         h.peer->cancel();
         h.drain();
       },
       {"frame", "frame", "none", "none"},
       "closed",
       {},
       true},
      {"unknown channel byte",
       [](auto& h) {
         h.peerWrites(Bytes{9, 0, 0, 0, 0, 1, 0});
       },
       {"protocolViolation(unknownChannel(9))", "protocolViolation(unknownChannel(9))"},
       "protocolViolation",
       {"protocolViolation"},
       true},
      {"receive error after close",
       [](auto& h) {
         h.run(h.link->close(std::string("busy")));
         h.local->failReads("boom");
         h.drain();
       },
       {"none"},
       "busy",
       {"busy"},
       true},
      {"receive error",
       [](auto& h) { h.local->failReads("boom"), h.drain(); },
       {"connectionFailed(\"boom\")"},
       "failed",
       {},
       true},
      {"stream failed",
       [](auto& h) { h.local->reportState(ByteStream::State::failed, "gone"), h.drain(); },
       {"connectionFailed(\"gone\")"},
       "failed",
       {},
       true},
      {"stream cancelled",
       [](auto& h) { h.local->cancel(), h.drain(); },
       {"none"},
       "closed",
       {},
       true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    LinkHarness h;
    c.act(h);
    for (const auto& expected : c.receives) {
      std::string got;
      try {
        got = h.run(h.link->receive()) ? "frame" : "none";
      } catch (const TransportError& e) {
        got = e.text();
      }
      EXPECT_EQ(got, expected);
    }
    EXPECT_TRUE(h.link->isClosed());
    EXPECT_EQ(h.run(h.link->closed()), c.reason);
    h.drain();
    std::vector<std::string> byes;
    for (const auto& e : h.seen->envelopes()) byes.push_back(*byeReasonOf(e));
    EXPECT_EQ(byes, c.byesSeen);
    EXPECT_EQ(h.local->isCancelled(), c.streamReleased);
  }
}

TEST(FrameConnection, ProtocolViolationIsLoggedAndReadingStops) {
  LinkHarness h;
  const auto readsBefore = h.local->readsRequested();
  h.peerWrites(Bytes{9, 0, 0, 0, 0, 0});
  h.peerWrites(encoded(videoFrame(1)));
  EXPECT_EQ(h.errors(), std::vector<std::string>{"Protocol violation: unknownChannel(9)"});
  EXPECT_EQ(h.local->readsRequested(), readsBefore);
}

TEST(FrameConnection, MessageIdsComeFromOneCounterAndEncodingFailuresUseThemUp) {
  LinkHarness h;
  h.run(h.link->send(ControlMessage(helloOf("me"))));
  h.link->sendControl(ping(1));
  EXPECT_THROW(h.run(h.link->send(ControlMessage(Bye{"\xff"}))), TransportError);
  h.link->sendControl(Bye{"\xfe"});
  h.run(h.link->close(std::string("busy")));
  std::vector<std::uint32_t> ids;
  for (const auto& e : h.seen->envelopes()) ids.push_back(e.id);
  EXPECT_EQ(ids, (std::vector<std::uint32_t>{1, 2, 5}));
  EXPECT_EQ(h.errors(), std::vector<std::string>{"Cannot encode bye"});
}

TEST(FrameConnection, OversizedFramesAreRefusedBeforeAnythingIsWritten) {
  LinkHarness h;
  std::optional<TransportError> completion;
  bool called = false;
  h.link->send(videoFrame(8388609), [&](std::optional<TransportError> e) {
    called = true;
    completion = e;
  });
  EXPECT_TRUE(called);
  EXPECT_EQ(completion, TransportError::protocolViolation(ProtocolError::oversized(8388609)));
  EXPECT_THROW(h.run(h.link->send(videoFrame(8388609))), TransportError);
  h.drain();
  EXPECT_TRUE(h.seen->frames.empty());
}

TEST(FrameConnection, LeftoverFramesComeFirstAndTheRestFollowsTheRead) {
  const Bytes second = encoded(videoFrame(10, 2));
  const Bytes firstHalf(second.begin(), second.begin() + 8);
  const Bytes rest(second.begin() + 8, second.end());
  LinkHarness h(joined({encoded(videoFrame(5, 1)), firstHalf}));
  EXPECT_EQ(h.run(h.link->receive()), videoFrame(5, 1));
  h.peerWrites(rest);
  EXPECT_EQ(h.run(h.link->receive()), videoFrame(10, 2));
}

TEST(FrameConnection, ReadersCancelledOrSecondAreNotStranded) {
  LinkHarness h;
  auto first = std::make_shared<Outcome<std::optional<Frame>>>();
  auto task = runtime::spawn(h.io.get_executor(), capture(h.link->receive(), first));
  h.drain();
  task.cancel();
  h.drain();
  ASSERT_TRUE(first->done);
  EXPECT_TRUE(runtime::isCancellation(first->error));

  auto waiting = std::make_shared<Outcome<std::optional<Frame>>>();
  runtime::spawn(h.io.get_executor(), capture(h.link->receive(), waiting));
  h.drain();
  try {
    h.run(h.link->receive());
    ADD_FAILURE() << "a second reader was accepted";
  } catch (const TransportError& e) {
    EXPECT_EQ(e.kind(), TransportError::Case::connectionFailed);
  }
  h.peerWrites(encoded(videoFrame(3)));
  ASSERT_TRUE(waiting->done);
  EXPECT_EQ(waiting->value, std::optional<Frame>(videoFrame(3)));
}

TEST(FrameConnection, ReadingPausesWhileTooMuchWaitsUnread) {
  LinkHarness h({}, LinkOptions{nullptr, 2s, 100});
  for (int i = 0; i < 5; ++i) h.peerWrites(encoded(videoFrame(60, std::uint8_t(i))));
  const auto paused = h.local->readsRequested();
  for (int i = 5; i < 8; ++i) h.peerWrites(encoded(videoFrame(60, std::uint8_t(i))));
  EXPECT_EQ(h.local->readsRequested(), paused);
  for (int i = 0; i < 8; ++i) EXPECT_EQ(h.run(h.link->receive()), videoFrame(60, std::uint8_t(i)));
  EXPECT_GT(h.local->readsRequested(), paused);
}

TEST(FrameConnection, CloseGivesUpOnAByeThatIsNotTaken) {
  LinkHarness h;
  h.local->holdWrites(true);
  runtime::spawn(h.io.get_executor(), h.link->close(std::string("busy")));
  h.drain();
  EXPECT_FALSE(h.link->isClosed());
  h.clock->advance(1999ms);
  h.drain();
  EXPECT_FALSE(h.link->isClosed());
  h.clock->advance(1ms);
  h.drain();
  EXPECT_EQ(h.run(h.link->closed()), "busy");
  EXPECT_TRUE(h.local->isCancelled());
}

TEST(StartAndWait, DialFailures) {
  struct Case {
    const char* name;
    std::function<void(runtime::MemoryByteStream&, runtime::ManualClock&)> platform;
    TransportError expected;
    bool cancelled;
  };
  const Case cases[] = {
      {"waiting", [](auto& s, auto&) { s.reportState(ByteStream::State::waiting, "no network"); },
       TransportError::connectionFailed("no network"), true},
      {"failed", [](auto& s, auto&) { s.reportState(ByteStream::State::failed, "refused"); },
       TransportError::connectionFailed("refused"), true},
      {"cancelled", [](auto& s, auto&) { s.cancel(); }, TransportError::closed(), true},
      {"no answer", [](auto&, auto& clock) { clock.advance(5s); },
       TransportError::connectionFailed("timed out"), true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    asio::io_context io;
    auto clock = std::make_shared<runtime::ManualClock>();
    auto [stream, other] = runtime::MemoryByteStream::pair(io.get_executor(), false);
    auto outcome = std::make_shared<Outcome<bool>>();
    auto dial = [](std::shared_ptr<runtime::MemoryByteStream> s,
                   std::shared_ptr<runtime::ManualClock> clock) -> asio::awaitable<bool> {
      co_await startAndWait(s, 5s, clock);
      co_return true;
    };
    runtime::spawn(io.get_executor(), capture(dial(stream, clock), outcome));
    brindlet::testing::drain(io);
    EXPECT_FALSE(outcome->done);
    c.platform(*stream, *clock);
    brindlet::testing::drain(io);
    ASSERT_TRUE(outcome->done);
    EXPECT_EQ(transportErrorOf(outcome->error), c.expected);
    EXPECT_EQ(stream->isCancelled(), c.cancelled);
  }
}

}  // namespace
}  // namespace brindlet::transport
