// The video path's last step over loopback TCP: a balanced 60 fps stream's frames (a 300 KB
// keyframe, then 20 KB deltas) through LinkVideoSink, beside bare FrameConnection::send and a
// raw asio socket writing the same frames with their 6-byte headers, each to a reader that
// discards what it reads.

#include <benchmark/benchmark.h>

#include <array>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <variant>
#include <vector>

#include <boost/asio/experimental/awaitable_operators.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/asio/write.hpp>

#include "AllocationCount.h"
#include "BenchLoop.h"
#include "BenchSockets.h"
#include "BenchSupport.h"
#include "protocol/Frame.h"
#include "runtime/OneShot.h"
#include "runtime/SocketByteStream.h"
#include "streaming/LinkVideoSink.h"
#include "transport/FrameConnection.h"

namespace {

namespace asio = boost::asio;
using asio::ip::tcp;
using namespace asio::experimental::awaitable_operators;
using namespace brindlet;
using brindlet::bench::discard;
using brindlet::bench::Loop;
using brindlet::bench::socketPair;
using Clock = std::chrono::steady_clock;

// Two seconds of a balanced stream at 60 fps: its keyframe interval.
constexpr int kFramesPerRound = 120;
constexpr std::size_t kKeyframeBytes = 300'000;
constexpr std::size_t kDeltaBytes = 20'000;

std::size_t frameBytes(int index) {
  return index == 0 ? kKeyframeBytes : kDeltaBytes;
}

// Payload and header bytes of one round.
std::size_t roundBytes() {
  std::size_t total = 0;
  for (int i = 0; i < kFramesPerRound; ++i) total += frameBytes(i) + protocol::FrameHeader::size;
  return total;
}

// One round of the encoder's output: fresh buffers, as the encoder makes them.
std::vector<streaming::EncodedFrame> encoderOutput() {
  std::vector<streaming::EncodedFrame> frames;
  for (int i = 0; i < kFramesPerRound; ++i)
    frames.emplace_back(runtime::Bytes(frameBytes(i), 7), i == 0, i / 60.0);
  return frames;
}

struct Figures {
  double rawBytesPerSecond = 0, sendBytesPerSecond = 0, sinkBytesPerSecond = 0;
  double sinkAllocationsPerFrame = 0, sinkAllocatedBytesPerFrame = 0;
} figures;

using Done = runtime::OneShot<std::monostate>;

// Times rounds of `send` against a discarding reader on a fresh loopback pair; `make` turns the
// sending socket into whatever sends.
template <class Make, class Send>
double throughput(benchmark::State& state, Make make, Send send, Figures* allocations = nullptr) {
  Loop loop;
  auto [client, server] = loop.run(socketPair());
  auto sender = make(std::move(client));
  double seconds = 0, sent = 0;
  std::size_t counted = 0, countedBytes = 0, frames = 0;
  for (auto _ : state) {
    state.PauseTiming();
    auto round = encoderOutput();
    state.ResumeTiming();
    const auto before = brindlet::bench::allocationsSoFar();
    const auto start = Clock::now();
    loop.run(send(sender, round) && discard(server, roundBytes()));
    seconds += std::chrono::duration<double>(Clock::now() - start).count();
    const auto after = brindlet::bench::allocationsSoFar();
    counted += after.count - before.count;
    countedBytes += after.bytes - before.bytes;
    frames += kFramesPerRound;
    sent += double(roundBytes());
  }
  state.SetBytesProcessed(std::int64_t(sent));
  if (allocations) {
    allocations->sinkAllocationsPerFrame = double(counted) / double(frames);
    allocations->sinkAllocatedBytesPerFrame = double(countedBytes) / double(frames);
  }
  return sent / seconds;
}

std::shared_ptr<transport::FrameConnection> linkOn(tcp::socket socket) {
  auto stream = runtime::TcpByteStream::adopt(std::move(socket));
  stream->start();
  return transport::FrameConnection::make(stream);
}

asio::awaitable<void> rawSend(tcp::socket& socket, std::vector<streaming::EncodedFrame>& round) {
  for (auto& frame : round) {
    std::array<std::uint8_t, protocol::FrameHeader::size> header;
    const auto flags = frame.isKeyframe ? protocol::FrameFlags::keyframe : protocol::FrameFlags{};
    protocol::Frame::encodeHeader(protocol::Channel::video, flags, frame.data.size(),
                                  header.data());
    const std::array<asio::const_buffer, 2> parts{asio::buffer(header), asio::buffer(frame.data.data(), frame.data.size())};
    co_await asio::async_write(socket, parts, asio::use_awaitable);
  }
}

void BM_RawSocket(benchmark::State& state) {
  figures.rawBytesPerSecond = throughput(
      state, [](tcp::socket socket) { return socket; }, rawSend);
}
BENCHMARK(BM_RawSocket)->Unit(benchmark::kMillisecond)->UseRealTime();

asio::awaitable<void> bareSend(std::shared_ptr<transport::FrameConnection>& link,
                               std::vector<streaming::EncodedFrame>& round) {
  auto done = Done::make();
  auto completed = std::make_shared<std::atomic<int>>(0);
  for (auto& frame : round) {
    const auto flags = frame.isKeyframe ? protocol::FrameFlags::keyframe : protocol::FrameFlags{};
    const auto bytes = frame.data.view();
    protocol::Frame out{protocol::Channel::video, flags, {bytes.begin(), bytes.end()}};
    link->asyncSend(std::move(out), [done, completed](std::exception_ptr) {
      if (++*completed == kFramesPerRound) done->resume({});
    });
  }
  co_await done->wait();
}

void BM_FrameConnectionSend(benchmark::State& state) {
  figures.sendBytesPerSecond = throughput(state, linkOn, bareSend);
}
BENCHMARK(BM_FrameConnectionSend)->Unit(benchmark::kMillisecond)->UseRealTime();

// The round ends at the drained callback that follows the last frame's hand-over.
asio::awaitable<void> sinkSend(std::shared_ptr<streaming::LinkVideoSink>& sink,
                               std::vector<streaming::EncodedFrame>& round) {
  auto done = Done::make();
  auto handedOver = std::make_shared<std::atomic<bool>>(false);
  sink->setDrained([done, handedOver] {
    if (*handedOver) done->resume({});
  });
  for (auto& frame : round) sink->send(std::move(frame));
  *handedOver = true;
  if (sink->outstanding() == 0) done->resume({});
  co_await done->wait();
}

void BM_LinkVideoSink(benchmark::State& state) {
  figures.sinkBytesPerSecond = throughput(
      state,
      [](tcp::socket socket) {
        return std::make_shared<streaming::LinkVideoSink>(linkOn(std::move(socket)));
      },
      sinkSend, &figures);
}
BENCHMARK(BM_LinkVideoSink)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
  bench::runAll(argc, argv);
  using bench::ratio;
  const double mib = bench::kMiB;
  const auto& f = figures;
  std::printf(
      "\nbalanced 60 fps frames (a 300 KB keyframe, then 20 KB deltas) over loopback TCP to a "
      "discarding reader: LinkVideoSink %.0f MiB/s, bare FrameConnection::send %.0f MiB/s, raw "
      "socket %.0f MiB/s; sink/raw ratio %.2f (goal >= 0.91), sink/send ratio %.2f\n",
      f.sinkBytesPerSecond / mib, f.sendBytesPerSecond / mib, f.rawBytesPerSecond / mib,
      ratio(f.sinkBytesPerSecond, f.rawBytesPerSecond),
      ratio(f.sinkBytesPerSecond, f.sendBytesPerSecond));
  std::printf(
      "allocations per frame through the sink: %.1f, %.0f bytes (goal: none proportional to the "
      "%zu-byte payloads)\n",
      f.sinkAllocationsPerFrame, f.sinkAllocatedBytesPerFrame, kDeltaBytes);
  return 0;
}
