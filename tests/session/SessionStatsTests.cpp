#include <gtest/gtest.h>

#include "session/SessionHarness.h"
#include "streaming/LinkVideoSink.h"

namespace brindlet::session::testing {
namespace {

// Each second's figures: frames encoded since the last tick (0 for a pipeline that started
// again), the pipeline's dropped total, the bytes whose sending completed, the phone's round
// trip.
TEST(SessionStats, EachSecondCarriesThatSecondsFramesAndBytes) {
  SessionHarness h;
  h.play("link A; pane A 393 852 3 monitor");
  auto& phone = h.phone("A");
  auto sendBytes = [&](std::size_t n) {
    h.streamer->sink->send(streaming::EncodedFrame{runtime::Bytes(n, 1), false, 0});
  };
  struct Second {
    std::string what;
    std::function<void()> act;
    double fps;
    std::int64_t dropped, kbps;
    double rtt;
  };
  const std::vector<Second> seconds = {
      {"60 frames of 100 bytes", [&] { h.streamer->capture(60); }, 60, 0, 48, 0},
      {"a pipeline that started again counts fewer",
       [&] {
         h.streamer->restartPipeline();
         h.streamer->capture(10);
       },
       0, 0, 8, 0},
      {"the phone's round trip",
       [&] {
         h.send(phone, protocol::Stats{12.5, 59, 0, 7000, 3.0});
         h.streamer->capture(5);
       },
       5, 0, 4, 12.5},
      {"a megabyte", [&] { sendBytes(1000000); }, 0, 0, 8000, 12.5},
      {"124 bytes truncate to nothing", [&] { sendBytes(124); }, 0, 0, 0, 12.5},
      {"a frame the encoder refused",
       [&] {
         h.streamer->script->encodeError = streaming::EncoderError::encode(-1);
         h.streamer->capture(1);
       },
       0, 1, 0, 12.5},
  };
  for (const auto& s : seconds) {
    SCOPED_TRACE(s.what);
    const auto before = phone.stats.size();
    s.act();
    h.settle();
    h.pass(std::chrono::seconds(1));
    ASSERT_EQ(phone.stats.size(), before + 1);
    const auto& sent = phone.stats.back();
    EXPECT_EQ(sent.fps, s.fps);
    EXPECT_EQ(sent.droppedFrames, s.dropped);
    EXPECT_EQ(sent.bitrateKbps, s.kbps);
    EXPECT_EQ(sent.rttMs, s.rtt);
    EXPECT_FALSE(sent.decodeMs);
  }
}

TEST(SessionStats, TicksGoOutOnlyWhileALinkLasts) {
  SessionHarness h;
  h.pass(std::chrono::seconds(5));
  EXPECT_EQ(h.clock->sleeperCount(), 0u);  // no phone, nothing armed
  h.play("link A; pass 2");
  EXPECT_EQ(h.phone("A").stats.size(), 2u);
  // Deck-only: the ticks go on, with no frames.
  h.play("pane A 393 852 3 deckOnly; pass 1");
  ASSERT_EQ(h.phone("A").stats.size(), 3u);
  EXPECT_EQ(h.phone("A").stats.back().fps, 0);
  h.play("bye A userDisconnected; pass 5");
  EXPECT_EQ(h.clock->sleeperCount(), 0u);
}

// A replacing link cancels the loop of the link it replaces in the middle of its wait: no extra
// tick reaches the new link, which gets one a second from its own start.
TEST(SessionStats, ACancelledLoopSendsNothingMore) {
  SessionHarness h;
  h.play("link A; pass 0.5; link A; pass 0.9");
  EXPECT_TRUE(h.phone("A1").stats.empty());
  EXPECT_TRUE(h.phone("A2").stats.empty());
  h.play("pass 0.1");
  EXPECT_EQ(h.phone("A2").stats.size(), 1u);
  h.play("pass 3");
  EXPECT_EQ(h.phone("A2").stats.size(), 4u);
  EXPECT_TRUE(h.phone("A1").stats.empty());
}

}  // namespace
}  // namespace brindlet::session::testing
