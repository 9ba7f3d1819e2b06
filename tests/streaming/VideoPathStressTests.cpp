#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <future>
#include <set>
#include <thread>

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>

#include "protocol/Frame.h"
#include "runtime/BufferPool.h"
#include "runtime/Log.h"
#include "runtime/MemoryByteStream.h"
#include "runtime/Task.h"
#include "runtime/WorkerThread.h"
#include "streaming/FakeVideoEncoder.h"
#include "streaming/LinkVideoSink.h"
#include "streaming/VideoPipeline.h"
#include "support/Streams.h"
#include "transport/FrameConnection.h"

namespace brindlet::streaming {
namespace {

using namespace std::chrono_literals;
namespace asio = boost::asio;

// The frames the phone's end of the link received, by the time value each payload starts with.
struct Received {
  std::mutex mutex;
  std::vector<std::int64_t> times;
  std::int64_t count() {
    std::lock_guard lock(mutex);
    return std::int64_t(times.size());
  }
  bool noneTwice() {
    std::lock_guard lock(mutex);
    return std::set<std::int64_t>(times.begin(), times.end()).size() == times.size();
  }
};

asio::awaitable<void> receiveFrames(std::shared_ptr<runtime::ByteStream> stream,
                                    std::shared_ptr<Received> received) {
  protocol::FrameParser parser;
  for (;;) {
    auto part = co_await brindlet::testing::readSome(*stream, 1 << 20);
    for (auto& frame : parser.push(part.bytes)) {
      std::int64_t time = 0;
      std::memcpy(&time, frame.payload.data(), sizeof time);
      std::lock_guard lock(received->mutex);
      received->times.push_back(time);
    }
    if (part.endOfStream || part.error) break;
  }
}

// Capture submits on its thread, the encoder answers on its own, the link completes sends on a
// loop whose writes stall now and then, and the main thread changes quality and asks for
// keyframes meanwhile. At the end every byte is accounted for and every encoded frame arrived
// once.
TEST(VideoPath, ThreeThreadsAgree) {
  constexpr int kFrames = 3000;
  runtime::LogCapture log;
  // Thousands of dropped-frame lines would bury the output.
  runtime::Log::setThreshold("capture", runtime::LogLevel::info);
  asio::io_context linkLoop;
  auto work = asio::make_work_guard(linkLoop);
  auto [local, peer] = runtime::MemoryByteStream::pair(linkLoop.get_executor());
  auto link = transport::FrameConnection::make(local);
  auto received = std::make_shared<Received>();
  runtime::spawn(linkLoop.get_executor(), receiveFrames(peer, received));
  std::thread linkThread([&] { linkLoop.run(); });

  runtime::WorkerThread encoderThread("fake-encoder");
  auto script = std::make_shared<FakeVideoEncoder::Script>();
  script->outputs = encoderThread.executor();
  script->sizeOf = [](const FakeVideoEncoder::Request& r) -> std::size_t {
    return r.forceKeyframe ? 30000 : 1000 + std::size_t(r.time.value % 7) * 1000;
  };
  auto sink = std::make_shared<LinkVideoSink>(link);
  auto pipeline = VideoPipeline::make({}, sink, FakeVideoEncoder::factory(script));

  std::atomic<bool> capturing = true;
  std::atomic<int> submitted = 0;
  std::thread capture([&] {
    auto pool = runtime::BufferPool::make(PixelBuffer::byteSize(64, 64, 64), 0, 8);
    for (int i = 1; i <= kFrames; ++i) {
      auto buffer = pool->acquire();
      while (!buffer) {
        std::this_thread::yield();
        buffer = pool->acquire();
      }
      auto picture = std::make_shared<PixelBuffer>(std::move(buffer), 64, 64, 64);
      pipeline->submit(std::move(picture), {i, 600});
      ++submitted;
      std::this_thread::sleep_for(50us);
    }
    capturing = false;
  });

  for (int round = 0; capturing; ++round) {
    asio::post(local->executor(), [local = local] { local->holdWrites(true); });
    std::this_thread::sleep_for(2ms);
    asio::post(local->executor(), [local = local] { local->holdWrites(false); });
    std::this_thread::sleep_for(1ms);
    if (round % 10 == 0) pipeline->requestKeyframe();
    if (round % 25 == 0) pipeline->setQuality(round % 50 ? VideoQuality::best : VideoQuality::fast);
    EXPECT_LE(pipeline->stats().keyframes, pipeline->stats().encoded);
  }
  capture.join();

  // Stream stop: capture has ended; the flush runs on the loop.
  std::promise<void> flushed;
  runtime::spawn(
      linkLoop.get_executor(),
      [](std::shared_ptr<VideoPipeline> p, std::promise<void>& done) -> asio::awaitable<void> {
        co_await p->flush();
        done.set_value();
      }(pipeline, flushed));
  ASSERT_EQ(flushed.get_future().wait_for(10s), std::future_status::ready);
  const auto stats = pipeline->stats();
  for (int i = 0; i < 1000 && (sink->outstanding() != 0 || received->count() < stats.encoded); ++i)
    std::this_thread::sleep_for(10ms);

  EXPECT_EQ(sink->outstanding(), 0);
  EXPECT_EQ(received->count(), stats.encoded);
  EXPECT_TRUE(received->noneTwice());
  // Every captured frame was encoded or dropped, and each drain re-encoded one dropped frame.
  const auto drains = std::int64_t(std::ranges::count(
      log.messages("capture", runtime::LogLevel::info),
      std::string("Sink drained; sending the last dropped frame as a keyframe")));
  EXPECT_EQ(stats.encoded + stats.dropped, submitted + drains);
  EXPECT_GT(stats.dropped, 0);

  pipeline.reset();
  encoderThread.stop();
  asio::post(linkLoop, [&] {
    peer->cancel();
    local->cancel();
  });
  work.reset();
  linkThread.join();
  runtime::Log::setThreshold("capture", runtime::LogLevel::debug);
}

}  // namespace
}  // namespace brindlet::streaming
