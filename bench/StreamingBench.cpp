// The video path's last step over loopback TCP: a balanced 60 fps stream's frames (a 300 KB
// keyframe, then 20 KB deltas, each in a pooled buffer as the encoder leaves it) through
// LinkVideoSink, beside a bare FrameConnection send and a raw asio socket writing the same
// buffers with their 6-byte headers, each to a reader that discards what it reads; and the same
// frames received through a link. The five paired runs at the end use the app's threads: the
// link on a loop thread of its own, the frames handed over on the encoder's thread; then the
// stream at its real rate, a frame every 16.7 ms: each frame's latency and the link thread's CPU.

#include <unistd.h>

#include <benchmark/benchmark.h>

#include <array>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <future>
#include <optional>
#include <stdexcept>
#include <thread>
#include <variant>
#include <vector>

#include <pthread.h>
#include <sys/resource.h>
#include <time.h>

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/experimental/awaitable_operators.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/asio/use_future.hpp>
#include <boost/asio/write.hpp>

#include "AllocationCount.h"
#include "BenchLoop.h"
#include "BenchSockets.h"
#include "BenchSupport.h"
#include "protocol/Frame.h"
#include "runtime/LoopThread.h"
#include "runtime/MainLoop.h"
#include "runtime/OneShot.h"
#include "runtime/SocketByteStream.h"
#include "runtime/WorkerThread.h"
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
// A round takes about a millisecond, and the loopback path switches between a fast and a slow
// mode (twice the time) every few rounds: a paired run takes enough rounds for its medians to
// see both modes alike.
constexpr int kPairedRounds = 100;
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

// The encoder's output buffers: enough for a round, all handed over before the first is written.
std::shared_ptr<runtime::BufferPool> outputPool() {
  static const auto pool = runtime::BufferPool::make(
      kKeyframeBytes, streaming::EncodedFrame::kHeadroom, kFramesPerRound);
  return pool;
}

// One round of the encoder's output: each access unit in a pooled buffer, as the encoder writes
// it from its packet.
std::vector<streaming::EncodedFrame> encoderOutput() {
  std::vector<streaming::EncodedFrame> frames;
  frames.reserve(kFramesPerRound);
  for (int i = 0; i < kFramesPerRound; ++i) {
    auto buffer = outputPool()->acquire();
    // The last round's buffers go back on the link's thread once their writes have completed,
    // which may be just after the reader has had their bytes.
    for (int wait = 0; !buffer && wait < 2000; ++wait) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
      buffer = outputPool()->acquire();
    }
    if (!buffer) throw std::runtime_error("the output pool ran dry");
    std::memset(buffer.payload().data(), 7, frameBytes(i));
    frames.emplace_back(runtime::PooledBytes(std::move(buffer), frameBytes(i)), i == 0, i / 60.0);
  }
  return frames;
}

struct Figures {
  double rawBytesPerSecond = 0, sendBytesPerSecond = 0, sinkBytesPerSecond = 0;
  double sinkAllocationsPerFrame = 0, sinkAllocatedBytesPerFrame = 0;
  std::size_t sinkHarnessAllocations = 0;
  double receiveAllocationsPerFrame = 0, receiveAllocatedBytesPerFrame = 0;
  std::size_t receiveHarnessAllocations = 0;
} figures;

using Done = runtime::OneShot<std::monostate>;

struct Measured {
  double bytesPerSecond = 0;
  double allocationsPerFrame = 0, allocatedBytesPerFrame = 0;
  // What a round without frames allocates: the round's own coroutines and signals, taken off.
  std::size_t harnessAllocations = 0;
};

// The far end of a round: drops the bytes.
struct Discarding {
  tcp::socket socket;
  asio::awaitable<void> operator()(std::size_t bytes, std::size_t) {
    return discard(socket, bytes);
  }
};

// Times `rounds` rounds of `send` on a fresh loopback pair, after one round to warm up; `make`
// turns the sending socket into whatever sends, `makeReader` the receiving one into what reads.
template <class Make, class Send, class MakeReader>
Measured measure(int rounds, Make make, Send send, MakeReader makeReader) {
  Loop loop;
  auto [client, server] = loop.run(socketPair());
  auto sender = make(std::move(client));
  auto reader = makeReader(std::move(server));
  double seconds = 0, sent = 0;
  std::size_t counted = 0, countedBytes = 0, frames = 0;
  bench::Allocations harness;
  for (int r = -1; r < rounds; ++r) {
    auto round = encoderOutput();
    const auto before = brindlet::bench::allocationsSoFar();
    const auto start = Clock::now();
    loop.run(send(sender, round) && reader(roundBytes(), round.size()));
    const double took = std::chrono::duration<double>(Clock::now() - start).count();
    const auto after = brindlet::bench::allocationsSoFar();
    round.clear();
    if (r < 0) {
      std::vector<streaming::EncodedFrame> none;
      const auto empty = brindlet::bench::allocationsSoFar();
      loop.run(send(sender, none) && reader(0, 0));
      const auto emptied = brindlet::bench::allocationsSoFar();
      harness = {emptied.count - empty.count, emptied.bytes - empty.bytes};
      continue;
    }
    seconds += took;
    counted += after.count - before.count - std::min(harness.count, after.count - before.count);
    countedBytes +=
        after.bytes - before.bytes - std::min(harness.bytes, after.bytes - before.bytes);
    frames += kFramesPerRound;
    sent += double(roundBytes());
  }
  return {sent / seconds, double(counted) / double(frames), double(countedBytes) / double(frames),
          harness.count};
}

template <class Make, class Send>
double throughput(benchmark::State& state, Make make, Send send, Figures* allocations = nullptr) {
  Measured m;
  for (auto _ : state) {
    m = measure(20, make, send, [](tcp::socket socket) { return Discarding{std::move(socket)}; });
  }
  state.SetBytesProcessed(std::int64_t(m.bytesPerSecond));
  if (allocations) {
    allocations->sinkAllocationsPerFrame = m.allocationsPerFrame;
    allocations->sinkAllocatedBytesPerFrame = m.allocatedBytesPerFrame;
    allocations->sinkHarnessAllocations = m.harnessAllocations;
  }
  return m.bytesPerSecond;
}

std::shared_ptr<transport::FrameConnection> linkOn(tcp::socket socket) {
  auto stream = runtime::TcpByteStream::adopt(std::move(socket));
  stream->start();
  return transport::FrameConnection::make(stream);
}

using Header = std::array<std::uint8_t, protocol::FrameHeader::size>;

// A frame as a raw socket writes it: its header, written into `header`, then its payload.
std::array<asio::const_buffer, 2> framed(const streaming::EncodedFrame& frame, Header& header) {
  const auto flags = frame.isKeyframe ? protocol::FrameFlags::keyframe : protocol::FrameFlags{};
  protocol::Frame::encodeHeader(protocol::Channel::video, flags, frame.data.size(), header.data());
  return {asio::buffer(header), asio::buffer(frame.data.data(), frame.data.size())};
}

asio::awaitable<void> rawSend(tcp::socket& socket, std::vector<streaming::EncodedFrame>& round) {
  for (auto& frame : round) {
    Header header;
    const auto parts = framed(frame, header);
    co_await asio::async_write(socket, parts, asio::use_awaitable);
  }
}

void BM_RawSocket(benchmark::State& state) {
  figures.rawBytesPerSecond = throughput(
      state, [](tcp::socket socket) { return socket; }, rawSend);
}
BENCHMARK(BM_RawSocket)->Unit(benchmark::kMillisecond)->Iterations(1)->UseRealTime();

asio::awaitable<void> bareSend(std::shared_ptr<transport::FrameConnection>& link,
                               std::vector<streaming::EncodedFrame>& round) {
  if (round.empty()) co_return;
  auto done = Done::make();
  auto completed = std::make_shared<std::atomic<std::size_t>>(0);
  for (auto& frame : round) {
    const auto flags = frame.isKeyframe ? protocol::FrameFlags::keyframe : protocol::FrameFlags{};
    protocol::PooledFrame out{protocol::Channel::video, flags, std::move(frame.data)};
    link->asyncSend(std::move(out), [done, completed, count = round.size()](std::exception_ptr) {
      if (++*completed == count) done->resume({});
    });
  }
  co_await done->wait();
}

void BM_FrameConnectionSend(benchmark::State& state) {
  figures.sendBytesPerSecond = throughput(state, linkOn, bareSend);
}
BENCHMARK(BM_FrameConnectionSend)->Unit(benchmark::kMillisecond)->Iterations(1)->UseRealTime();

// The far end of a round: takes its frames from a link, one receive() at a time.
struct Receiving {
  std::shared_ptr<transport::FrameConnection> link;
  asio::awaitable<void> operator()(std::size_t, std::size_t frames) {
    for (std::size_t i = 0; i < frames; ++i) {
      auto frame = co_await link->receive();
      if (!frame) throw std::runtime_error("the link ended");
    }
  }
};

// The raw socket's frames received through a link: what a warm read loop allocates per frame.
void BM_LinkReceive(benchmark::State& state) {
  Measured m;
  for (auto _ : state) {
    m = measure(
        20, [](tcp::socket socket) { return socket; }, rawSend,
        [](tcp::socket socket) {
          auto link = linkOn(std::move(socket));
          link->helloDone();
          return Receiving{std::move(link)};
        });
  }
  state.SetBytesProcessed(std::int64_t(m.bytesPerSecond));
  figures.receiveAllocationsPerFrame = m.allocationsPerFrame;
  figures.receiveAllocatedBytesPerFrame = m.allocatedBytesPerFrame;
  figures.receiveHarnessAllocations = m.harnessAllocations;
}
BENCHMARK(BM_LinkReceive)->Unit(benchmark::kMillisecond)->Iterations(1)->UseRealTime();

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

std::shared_ptr<streaming::LinkVideoSink> sinkOn(tcp::socket socket) {
  return std::make_shared<streaming::LinkVideoSink>(linkOn(std::move(socket)));
}

void BM_LinkVideoSink(benchmark::State& state) {
  figures.sinkBytesPerSecond = throughput(state, sinkOn, sinkSend, &figures);
}
BENCHMARK(BM_LinkVideoSink)->Unit(benchmark::kMillisecond)->Iterations(1)->UseRealTime();

// Context switches of the whole process so far: voluntary ones are a thread that went to sleep
// waiting for another, involuntary ones a thread that the rest of the machine pushed off its core.
std::pair<long, long> contextSwitches() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return {usage.ru_nvcsw, usage.ru_nivcsw};
}

// Medians of the rounds of one paired run: bytes per second and context switches.
struct Paired {
  struct Side {
    double bytesPerSecond = 0, switches = 0, preempted = 0;
  };
  Side raw, rawGathered, sink;
};

// The threads as the app has them: the link on a loop of its own run by one thread, the frames
// handed to the sink on the encoder's thread, and the far ends read on a loop of their own, as a
// phone reads in a process of its own. The raw references write on the link's thread, frame by
// frame or the round at once, blocking until the socket has taken the bytes: from a thread of
// their own they measured where the scheduler had put that thread beside the reader, which moved
// the same writes by half between runs.
struct Threads {
  runtime::MainLoop links;
  runtime::LoopThread linkThread{links, "brindlet-link"};
  runtime::MainLoop readers;
  runtime::LoopThread readerThread{readers, "bench-reader"};
  runtime::WorkerThread encoder{"encoder"};

  // Runs `work` on `executor`'s thread and waits for it.
  template <class Executor>
  static void on(Executor executor, std::function<void()> work) {
    std::promise<void> done;
    asio::post(executor, [&] {
      work();
      done.set_value();
    });
    done.get_future().get();
  }

  void onLinkThread(std::function<void()> work) {
    on(links.context().get_executor(), std::move(work));
  }

  // The CPU time the link's thread has used so far.
  std::chrono::nanoseconds linkCpu() {
    if (!linkClock) {
      clockid_t clock{};
      onLinkThread([&] { pthread_getcpuclockid(pthread_self(), &clock); });
      linkClock = clock;
    }
    timespec used{};
    clock_gettime(*linkClock, &used);
    return std::chrono::seconds(used.tv_sec) + std::chrono::nanoseconds(used.tv_nsec);
  }
  std::optional<clockid_t> linkClock;
};

// Each frame with its header, one blocking write at a time, as the raw socket takes them.
void rawWrite(tcp::socket& socket, std::vector<streaming::EncodedFrame>& round) {
  for (auto& frame : round) {
    Header header;
    asio::write(socket, framed(frame, header));
  }
}

// The same buffers handed to the socket all at once, as the sink is handed them: one blocking
// write of the round, which Asio gathers into system calls of up to 64 buffers each.
void rawGatheredWrite(tcp::socket& socket, std::vector<streaming::EncodedFrame>& round) {
  std::vector<Header> headers(round.size());
  std::vector<asio::const_buffer> parts;
  parts.reserve(2 * round.size());
  for (std::size_t i = 0; i < round.size(); ++i) {
    for (const auto part : framed(round[i], headers[i])) parts.push_back(part);
  }
  asio::write(socket, parts);
}

// The encoder's side of a round through the sink: each frame handed over as the pipeline does,
// on the encoder's thread; it ends at the drained callback that follows the last hand-over.
void sinkWrite(Threads& threads, streaming::LinkVideoSink& sink,
               std::vector<streaming::EncodedFrame>& round) {
  std::atomic<bool> handedOver{false}, drained{false};
  const auto finish = [&drained] {
    if (drained.exchange(true)) return;
    drained.notify_one();
  };
  sink.setDrained([&handedOver, finish] {
    if (handedOver) finish();
  });
  Threads::on(threads.encoder.executor(), [&] {
    for (auto& frame : round) sink.send(std::move(frame));
    handedOver = true;
    if (sink.outstanding() == 0) finish();
  });
  drained.wait(false);
  sink.setDrained({});
}

// One loopback connection written by the sink and, through a second descriptor of the same
// socket, by the raw references; read on the readers' thread.
struct SharedConnection {
  explicit SharedConnection(Threads& threads) : threads(threads) {
    auto [sinkClient, reading] = bench::blockingSocketPair(
        threads.links.context().get_executor(), threads.readers.context().get_executor());
    server = std::move(reading);
    rawClient = tcp::socket(threads.links.context().get_executor(), tcp::v4(),
                            ::dup(sinkClient.native_handle()));
    link = linkOn(std::move(sinkClient));
    sink = std::make_shared<streaming::LinkVideoSink>(link);
  }
  // The sockets close on the threads that use them.
  ~SharedConnection() {
    threads.onLinkThread([&] { rawClient.close(); });
    link->connection()->cancel();
  }

  Threads& threads;
  tcp::socket server{threads.readers.context()};
  tcp::socket rawClient{threads.links.context()};
  std::shared_ptr<transport::FrameConnection> link;
  std::shared_ptr<streaming::LinkVideoSink> sink;
};

// The raw socket frame by frame, the raw socket with the round in one write, and the sink, each
// the median of `rounds` rounds taken in turns on three loopback pairs.
Paired pairedRun(Threads& threads, int rounds) {
  // All three write on one connection, in turns: a connection's buffers settle at sizes of their
  // own (2 to 16 MB here), which alone moves a writer's throughput by half, and a comparison
  // across connections measured that instead of the writers.
  SharedConnection connection(threads);
  auto& server = connection.server;
  auto& rawClient = connection.rawClient;
  auto& sink = connection.sink;
  struct Samples {
    std::vector<double> seconds, switches, preempted;
    Paired::Side median() const {
      return {double(roundBytes()) / bench::percentile(seconds, 0.5),
              bench::percentile(switches, 0.5), bench::percentile(preempted, 0.5)};
    }
  } raw, gathered, viaSink;
  // A round from the first hand-over until the reader has the last byte.
  const auto timed = [&](auto&& write, tcp::socket& server, Samples& samples) {
    auto round = encoderOutput();
    const auto before = contextSwitches();
    const auto start = Clock::now();
    auto reading =
        asio::co_spawn(threads.readers.context(), discard(server, roundBytes()), asio::use_future);
    write(round);
    reading.get();
    samples.seconds.push_back(std::chrono::duration<double>(Clock::now() - start).count());
    const auto after = contextSwitches();
    samples.switches.push_back(double(after.first - before.first));
    samples.preempted.push_back(double(after.second - before.second));
  };
  for (int r = -1; r < rounds; ++r) {
    timed([&](auto& round) { threads.onLinkThread([&] { rawWrite(rawClient, round); }); }, server,
          raw);
    timed([&](auto& round) { threads.onLinkThread([&] { rawGatheredWrite(rawClient, round); }); },
          server, gathered);
    timed([&](auto& round) { sinkWrite(threads, *sink, round); }, server, viaSink);
    if (r >= 0) continue;
    // The first round warms up.
    raw = gathered = viaSink = {};
  }
  return {raw.median(), gathered.median(), viaSink.median()};
}

// The stream at its real rate: a frame handed over every 16.7 ms.
constexpr auto kFrameInterval = std::chrono::microseconds(16'667);
constexpr int kPacedRounds = 4;

struct Paced {
  struct Side {
    std::vector<double> latencies;  // microseconds, hand-over until the reader has the frame
    double linkCpuSeconds = 0, seconds = 0;
    double cpuShare() const { return linkCpuSeconds / seconds; }
    double cpuPerFrameMicros() const { return linkCpuSeconds * 1e6 / double(latencies.size()); }
  };
  Side sink, raw;
};

// Reads a round and notes when each frame's last byte came.
asio::awaitable<void> stampArrivals(tcp::socket& socket, std::vector<Clock::time_point>& arrived) {
  std::size_t got = 0, end = 0;
  for (int i = 0; i < kFramesPerRound; ++i) {
    end += frameBytes(i) + protocol::FrameHeader::size;
    while (got < end) {
      static std::vector<std::uint8_t> buffer(1 << 20);
      got += co_await socket.async_read_some(asio::buffer(buffer), asio::use_awaitable);
    }
    arrived.push_back(Clock::now());
  }
}

// Rounds of the sink and of the raw socket frame by frame in turns, each frame handed over on
// its due time: the sink's on the encoder's thread, the raw socket's written on the link's.
Paced pacedRun(Threads& threads) {
  SharedConnection connection(threads);
  Paced paced;
  const auto round = [&](Paced::Side& side,
                         const std::function<void(streaming::EncodedFrame&)>& hand) {
    auto frames = encoderOutput();
    std::vector<Clock::time_point> handed(frames.size()), arrived;
    arrived.reserve(frames.size());
    auto reading = asio::co_spawn(threads.readers.context(),
                                  stampArrivals(connection.server, arrived), asio::use_future);
    const auto cpuBefore = threads.linkCpu();
    const auto start = Clock::now();
    for (std::size_t i = 0; i < frames.size(); ++i) {
      std::this_thread::sleep_until(start + kFrameInterval * int(i));
      handed[i] = Clock::now();
      hand(frames[i]);
    }
    reading.get();
    side.seconds += std::chrono::duration<double>(Clock::now() - start).count();
    side.linkCpuSeconds += std::chrono::duration<double>(threads.linkCpu() - cpuBefore).count();
    for (std::size_t i = 0; i < frames.size(); ++i) {
      side.latencies.push_back(
          std::chrono::duration<double, std::micro>(arrived[i] - handed[i]).count());
    }
  };
  const auto viaSink = [&](streaming::EncodedFrame& frame) {
    asio::post(threads.encoder.executor(),
               [&connection, &frame] { connection.sink->send(std::move(frame)); });
  };
  const auto raw = [&](streaming::EncodedFrame& frame) {
    asio::post(threads.links.context().get_executor(), [&connection, &frame] {
      Header header;
      asio::write(connection.rawClient, framed(frame, header));
    });
  };
  for (int r = 0; r < kPacedRounds; ++r) {
    round(paced.sink, viaSink);
    round(paced.raw, raw);
  }
  return paced;
}

}  // namespace

int main(int argc, char** argv) {
  bench::runAll(argc, argv);
  using bench::ratio;
  const double mib = bench::kMiB;
  const auto& f = figures;
  std::printf(
      "\nbalanced 60 fps frames (a 300 KB keyframe, then 20 KB deltas) over loopback TCP to a "
      "discarding reader, writer and reader on one thread, each on a connection of its own: "
      "LinkVideoSink %.0f MiB/s, bare FrameConnection::send %.0f MiB/s, raw socket %.0f MiB/s; "
      "sink/raw ratio %.2f, sink/send ratio %.2f (the goal is judged on the paired runs below: "
      "separate connections alone move these by half)\n",
      f.sinkBytesPerSecond / mib, f.sendBytesPerSecond / mib, f.rawBytesPerSecond / mib,
      ratio(f.sinkBytesPerSecond, f.rawBytesPerSecond),
      ratio(f.sinkBytesPerSecond, f.sendBytesPerSecond));
  std::printf(
      "allocations per frame through the sink once warm: %.2f, %.0f bytes (goal: 0; the %zu "
      "of a round without frames, its own coroutines and signals, taken off)\n"
      "allocations per frame received through a link once warm: %.2f, %.0f bytes (the frame's "
      "own payload and the reader's receive(); the %zu of a round without frames taken off)\n"
      "payload copies from the encoder's packet to the socket: 1 (the packet into its pooled "
      "buffer; the header goes into the buffer's headroom and the socket writes from it)\n",
      f.sinkAllocationsPerFrame, f.sinkAllocatedBytesPerFrame, f.sinkHarnessAllocations,
      f.receiveAllocationsPerFrame, f.receiveAllocatedBytesPerFrame, f.receiveHarnessAllocations);
  // Five runs; in each, rounds of the sink and of the raw socket take turns, so that all see the
  // same load from the rest of the machine, and the medians are compared. The raw socket writes
  // frame by frame on the link's thread, blocking on each, and, as the sink is handed the
  // round at once and writes what has queued up together, also the whole round in one gathered
  // write.
  Threads threads;
  for (int run = 1; run <= 5; ++run) {
    const auto p = pairedRun(threads, kPairedRounds);
    std::printf(
        "run %d: LinkVideoSink %.0f MiB/s, raw socket %.0f MiB/s frame by frame, %.0f MiB/s in "
        "one gathered write (medians of %d rounds each, in turns); goal: sink / raw frame by "
        "frame >= 0.91, here %.2f; like for like, sink / raw in one gathered write (both handed "
        "the round at once) %.2f; context switches per round, voluntary/involuntary: sink "
        "%.0f/%.0f, raw %.0f/%.0f, gathered raw %.0f/%.0f\n",
        run, p.sink.bytesPerSecond / mib, p.raw.bytesPerSecond / mib,
        p.rawGathered.bytesPerSecond / mib, kPairedRounds,
        ratio(p.sink.bytesPerSecond, p.raw.bytesPerSecond),
        ratio(p.sink.bytesPerSecond, p.rawGathered.bytesPerSecond), p.sink.switches,
        p.sink.preempted, p.raw.switches, p.raw.preempted, p.rawGathered.switches,
        p.rawGathered.preempted);
  }
  const auto paced = pacedRun(threads);
  const auto side = [](const char* name, const Paced::Side& s) {
    std::printf(
        "  %s: hand-over -> reader has the frame: p50 %.0f us, p99 %.0f us over %zu frames; link "
        "thread's CPU %.1f%% of a core, %.0f us per frame\n",
        name, bench::percentile(s.latencies, 0.5), bench::percentile(s.latencies, 0.99),
        s.latencies.size(), 100 * s.cpuShare(), s.cpuPerFrameMicros());
  };
  std::printf(
      "at the stream's real rate, a frame every 16.7 ms (the 300 KB keyframe, then 20 KB deltas), "
      "%d rounds of %d frames each, in turns:\n",
      kPacedRounds, kFramesPerRound);
  side("LinkVideoSink, handed over on the encoder's thread", paced.sink);
  side("raw socket frame by frame, written on the link's thread", paced.raw);
  return 0;
}
