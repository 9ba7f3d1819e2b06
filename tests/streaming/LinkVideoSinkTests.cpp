#include "streaming/LinkVideoSink.h"

#include <gtest/gtest.h>

#include <future>

#include "runtime/WorkerThread.h"
#include "streaming/FakeVideoEncoder.h"
#include "streaming/VideoPipeline.h"
#include "support/Loop.h"
#include "support/Streams.h"
#include "transport/LinkHarness.h"

namespace brindlet::streaming {
namespace {

using namespace std::chrono_literals;
using transport::LinkOptions;
using transport::testing::LinkHarness;

constexpr std::size_t kOversized = 9 * 1024 * 1024;  // over the largest frame a link takes

runtime::Bytes payloadOf(std::size_t size) {
  runtime::Bytes bytes(size);
  for (std::size_t i = 0; i < size; ++i) bytes[i] = std::uint8_t(i * 7 + size);
  return bytes;
}

EncodedFrame encodedFrame(std::size_t size, bool keyframe) {
  return {runtime::ByteView(payloadOf(size)), keyframe, 0};
}

TEST(LinkVideoSink, CountsInFlightAndSentBytes) {
  LinkHarness h;
  LinkVideoSink sink(h.link);
  int replaced = 0, drained = 0;
  sink.setDrained([&] { ++replaced; });
  sink.setDrained([&] { ++drained; });

  h.local->holdWrites(true);
  sink.send(encodedFrame(1000, true));
  sink.send(encodedFrame(2000, false));
  h.drain();
  EXPECT_EQ(sink.outstanding(), 3000);
  EXPECT_EQ(drained, 0);

  h.local->holdWrites(false);
  h.drain();
  EXPECT_EQ(sink.outstanding(), 0);
  EXPECT_EQ(drained, 1);
  EXPECT_EQ(replaced, 0);
  EXPECT_EQ(sink.takeSent(), 3000);
  EXPECT_EQ(sink.takeSent(), 0);
  ASSERT_EQ(h.seen->frames.size(), 2u);
  EXPECT_EQ(h.seen->frames[0],
            (protocol::Frame{protocol::Channel::video, {0x01}, payloadOf(1000)}));
  EXPECT_EQ(h.seen->frames[1],
            (protocol::Frame{protocol::Channel::video, {0x00}, payloadOf(2000)}));
}

TEST(LinkVideoSink, FailedSendsCountAsCompleted) {
  struct Case {
    const char* name;
    LinkOptions options;
    std::size_t size;
    std::function<void(LinkHarness&)> breakLink;
    bool completesInsideSend;
  };
  const Case cases[] = {
      {"over the largest frame", {}, kOversized, [](LinkHarness&) {}, true},
      {"over the send queue's bound", LinkOptions{nullptr, 2s, 1 << 20, 1500}, 2000,
       [](LinkHarness&) {}, true},
      {"write failed", {}, 3000, [](LinkHarness& h) { h.local->failAfter(0); }, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    LinkHarness h({}, c.options);
    LinkVideoSink sink(h.link);
    int drained = 0;
    sink.setDrained([&] { ++drained; });
    c.breakLink(h);
    sink.send(encodedFrame(c.size, true));
    EXPECT_EQ(drained, c.completesInsideSend ? 1 : 0);
    h.drain();
    EXPECT_EQ(drained, 1);
    EXPECT_EQ(sink.outstanding(), 0);
    EXPECT_EQ(sink.takeSent(), std::int64_t(c.size));
    EXPECT_TRUE(h.seen->frames.empty());
  }
}

// A frame the link refuses completes inside send(), on the encoder's thread, and so runs the
// drained callback there while the main loop flushes: the flush still finishes.
TEST(LinkVideoSink, FlushWhileAFrameCompletesInsideSend) {
  LinkHarness h;
  runtime::WorkerThread encoderThread("fake-encoder");
  auto script = std::make_shared<FakeVideoEncoder::Script>();
  script->outputs = encoderThread.executor();
  script->sizeOf = [](const FakeVideoEncoder::Request&) { return kOversized; };
  auto sink = std::make_shared<LinkVideoSink>(h.link);
  auto pipeline = VideoPipeline::make({}, sink, FakeVideoEncoder::factory(script));

  std::promise<void> gate;
  boost::asio::post(encoderThread.executor(),
                    [opened = gate.get_future().share()] { opened.wait(); });
  pipeline->submit(nullptr, {600, 600});
  bool flushed = false;
  runtime::spawn(h.io.get_executor(),
                 [](std::shared_ptr<VideoPipeline> p, bool& done) -> boost::asio::awaitable<void> {
                   co_await p->flush();
                   done = true;
                 }(pipeline, flushed));
  h.drain();
  gate.set_value();
  ASSERT_TRUE(brindlet::testing::runUntil(h.io, [&] { return flushed; }));
  // A frame over the largest a link takes is over the encoder's buffers too.
  EXPECT_EQ(pipeline->stats(), (VideoPipeline::Stats{1, 0, 1, 1}));
  EXPECT_EQ(sink->outstanding(), 0);
  EXPECT_EQ(sink->takeSent(), std::int64_t(kOversized));
}

// Over real sockets each frame goes out from its own buffer, header in the room in front, and
// the buffer is back in its pool once written. Bytes without that room, and bytes in a buffer
// of their own, arrive the same.
TEST(LinkVideoSink, PooledFramesGoOutWholeAndTheirBuffersComeBack) {
  using testing::StreamKind;
  for (const auto kind : {StreamKind::tcp, StreamKind::unixSocket, StreamKind::memory}) {
    SCOPED_TRACE(int(kind));
    boost::asio::io_context io;
    const testsupport::TempDir folder;
    auto [local, remote] = testing::runUntilDone(io, testing::connectedPair(kind, folder));
    auto sink = std::make_shared<LinkVideoSink>(transport::FrameConnection::make(local));
    auto peer = transport::FrameConnection::make(remote);
    peer->helloDone();
    auto pool = runtime::BufferPool::make(400000, EncodedFrame::kHeadroom, 2);
    auto roomless = runtime::BufferPool::make(4000, 0, 1);
    auto pooled = [](const std::shared_ptr<runtime::BufferPool>& from, std::size_t size) {
      auto buffer = from->acquire();
      const auto bytes = payloadOf(size);
      std::memcpy(buffer.payload().data(), bytes.data(), size);
      return runtime::PooledBytes(std::move(buffer), size);
    };
    int drained = 0;
    sink->setDrained([&] { ++drained; });
    EXPECT_TRUE(sink->send({pooled(pool, 300000), true, 0}));
    EXPECT_TRUE(sink->send({pooled(pool, 20000), false, 0}));
    EXPECT_TRUE(sink->send({pooled(roomless, 3000), false, 0}));
    EXPECT_TRUE(sink->send(encodedFrame(500, false)));
    const std::vector<protocol::Frame> expected = {
        {protocol::Channel::video, {0x01}, payloadOf(300000)},
        {protocol::Channel::video, {0x00}, payloadOf(20000)},
        {protocol::Channel::video, {0x00}, payloadOf(3000)},
        {protocol::Channel::video, {0x00}, payloadOf(500)},
    };
    for (const auto& want : expected) {
      const auto got = testing::runUntilDone(io, peer->receive());
      ASSERT_TRUE(got);
      EXPECT_EQ(*got, want);
    }
    EXPECT_TRUE(testing::runUntil(io, [&] { return sink->outstanding() == 0; }));
    EXPECT_GE(drained, 1);
    EXPECT_EQ(sink->takeSent(), 323500);
    EXPECT_EQ(pool->freeCount(), 2u);
    EXPECT_EQ(roomless->freeCount(), 1u);
    local->cancel();
    remote->cancel();
    testing::drain(io);
  }
}

}  // namespace
}  // namespace brindlet::streaming
