#include <gtest/gtest.h>

#include "protocol/Enums.h"
#include "transport/Handshake.h"
#include "transport/LinkHarness.h"

namespace brindlet::transport {
namespace {

using namespace testing;
using protocol::Bye;
using protocol::Hello;
using protocol::Ping;
using protocol::ProtocolError;

Bytes controlJson(std::string_view json) {
  return encoded(Frame{Channel::control, {}, Bytes(json.begin(), json.end())});
}

std::vector<std::string> byesOf(const PeerView& view) {
  std::vector<std::string> out;
  for (const auto& e : view.envelopes()) {
    if (auto* bye = e.message.as<Bye>()) out.push_back(bye->reason);
  }
  return out;
}

TEST(Handshake, FailureTable) {
  struct Case {
    const char* name;
    std::optional<Bytes> peerSends;  // none: the peer ends its stream without a word
    bool timeOut;
    TransportError expected;
    std::vector<std::string> byes;
    std::string reason;
    std::vector<std::string> errorLog;
  };
  const Case cases[] = {
      {"nothing comes",
       Bytes{},
       true,
       TransportError::helloTimeout(),
       {"helloTimeout"},
       "helloTimeout",
       {"No hello within 3.0 seconds; closing"}},
      {"video first",
       encoded(videoFrame(4)),
       false,
       TransportError::expectedHello("video frame"),
       {"protocolViolation"},
       "protocolViolation",
       {"First frame was video frame, not hello; closing"}},
      {"undecodable control",
       controlJson("{nope"),
       false,
       TransportError::expectedHello("control frame"),
       {"protocolViolation"},
       "protocolViolation",
       {"First frame was control frame, not hello; closing"}},
      {"version 2",
       encoded(ControlEnvelope(1, helloOf("phone", 2))),
       false,
       TransportError::protocolViolation(ProtocolError::versionMismatch(2, {1})),
       {"versionMismatch"},
       "versionMismatch",
       {}},
      {"peer closes first", std::nullopt, false, TransportError::closed(), {}, "closed", {}},
      {"bad channel byte",
       Bytes{9, 0, 0, 0, 0, 0},
       false,
       TransportError::protocolViolation(ProtocolError::unknownChannel(9)),
       {"protocolViolation"},
       "protocolViolation",
       {"Protocol violation: unknownChannel(9)"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    LinkHarness h;
    auto outcome = std::make_shared<Outcome<Hello>>();
    runtime::spawn(h.io.get_executor(), capture(Handshake::run(h.link, helloOf("mac")), outcome));
    h.drain();
    if (c.peerSends) {
      if (!c.peerSends->empty()) h.peerWrites(*c.peerSends);
    } else {
      h.peer->finishWriting();
      h.drain();
    }
    if (c.timeOut) {
      EXPECT_FALSE(outcome->done);
      h.clock->advance(2999ms);
      h.drain();
      EXPECT_FALSE(outcome->done);
      h.clock->advance(1ms);
      h.drain();
    }
    ASSERT_TRUE(outcome->done);
    EXPECT_EQ(transportErrorOf(outcome->error), c.expected);
    EXPECT_EQ(h.run(h.link->closed()), c.reason);
    EXPECT_TRUE(h.local->isCancelled());
    ASSERT_FALSE(h.seen->envelopes().empty());
    EXPECT_EQ(h.seen->envelopes()[0], ControlEnvelope(1, helloOf("mac")));
    EXPECT_EQ(byesOf(*h.seen), c.byes);
    EXPECT_EQ(h.errors(), c.errorLog);
  }
}

// Both sides greeting at once is every link test's hello (ClientTransportTests and others).
TEST(Handshake, FramesAfterTheHelloStayBuffered) {
  LinkHarness h;
  auto outcome = std::make_shared<Outcome<Hello>>();
  runtime::spawn(h.io.get_executor(), capture(Handshake::run(h.link, helloOf("mac")), outcome));
  h.peerWrites(
      joined({encoded(ControlEnvelope(1, helloOf("phone"))), encoded(ControlEnvelope(2, Ping{}))}));
  ASSERT_TRUE(outcome->done);
  EXPECT_EQ(outcome->value, helloOf("phone"));
  const auto reads = h.local->readsRequested();
  EXPECT_EQ(protocol::ControlEnvelope::of(*h.run(h.link->receive())), ControlEnvelope(2, Ping{}));
  EXPECT_EQ(h.local->readsRequested(), reads);
  EXPECT_FALSE(h.link->isClosed());
}

TEST(Handshake, CancelledCallerClosesWithoutABye) {
  LinkHarness h;
  auto outcome = std::make_shared<Outcome<Hello>>();
  auto task =
      runtime::spawn(h.io.get_executor(), capture(Handshake::run(h.link, helloOf("mac")), outcome));
  h.drain();
  task.cancel();
  h.drain();
  ASSERT_TRUE(outcome->done);
  EXPECT_EQ(transportErrorOf(outcome->error), TransportError::closed());
  EXPECT_EQ(h.run(h.link->closed()), "closed");
  EXPECT_TRUE(byesOf(*h.seen).empty());
  EXPECT_EQ(h.clock->sleeperCount(), 0u);
}

}  // namespace
}  // namespace brindlet::transport
