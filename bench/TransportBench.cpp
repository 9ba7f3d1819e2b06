// The link's byte path over loopback, each figure beside the same work done on a raw asio
// socket (or the bare TLS stream): the send side alone, the whole link, the TLS link, a ping's
// round trip, and the allocations a sent frame costs.

#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <future>
#include <new>
#include <optional>
#include <thread>
#include <vector>

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/experimental/awaitable_operators.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/read.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/asio/use_future.hpp>
#include <boost/asio/write.hpp>

#include "AllocationCount.h"
#include "BenchLoop.h"
#include "BenchSockets.h"
#include "BenchSupport.h"
#include "protocol/ControlEnvelope.h"
#include "runtime/SocketByteStream.h"
#include "transport/FrameConnection.h"
#include "transport/TlsByteStream.h"
#include "transport/TlsStream.h"

namespace {

namespace asio = boost::asio;
using asio::ip::tcp;
using namespace asio::experimental::awaitable_operators;
using namespace brindlet;
using brindlet::bench::discard;
using brindlet::bench::Loop;
using brindlet::bench::percentile;
using brindlet::bench::socketPair;
using Clock = std::chrono::steady_clock;

constexpr std::size_t kFrameBytes = 1 << 20;
constexpr int kFramesPerRound = 64;
constexpr int kRoundTrips = 2000;

struct Figures {
  double rawBytesPerSecond = 0, sendBytesPerSecond = 0, linkBytesPerSecond = 0;
  double bareTlsBytesPerSecond = 0, tlsLinkBytesPerSecond = 0;
  double allocationsPerFrame = 0, allocatedBytesPerFrame = 0;
  std::vector<double> rawRoundTrips, linkRoundTrips;  // microseconds
} figures;

// The benchmarks' links skip the hello exchange: frames of any size are taken at once.
std::shared_ptr<transport::FrameConnection> helloDone(
    std::shared_ptr<transport::FrameConnection> link) {
  link->helloDone();
  return link;
}

asio::awaitable<std::pair<std::shared_ptr<transport::FrameConnection>,
                          std::shared_ptr<transport::FrameConnection>>>
linkPair() {
  auto [client, server] = co_await socketPair();
  auto a = runtime::TcpByteStream::adopt(std::move(client));
  auto b = runtime::TcpByteStream::adopt(std::move(server));
  a->start();
  b->start();
  co_return std::pair{helloDone(transport::FrameConnection::make(a)),
                      helloDone(transport::FrameConnection::make(b))};
}

// A round of frames' bytes, each in a buffer of its own, as the link's frames are. The writer
// takes the round over and lets each buffer go once it is written, as the link does its frames.
using Round = std::vector<runtime::Bytes>;

asio::awaitable<void> rawSend(tcp::socket& socket, Round round) {
  for (auto& bytes : round) {
    co_await asio::async_write(socket, asio::buffer(bytes), asio::use_awaitable);
    runtime::Bytes().swap(bytes);
  }
}

// Rounds of 1 MiB frames' bytes written on one end of a reference pair (raw sockets, bare TLS
// streams) and read and discarded on the other.
template <class MakePair, class Send>
double referenceThroughput(benchmark::State& state, MakePair makePair, Send send) {
  Loop loop;
  auto [client, server] = loop.run(makePair());
  double seconds = 0, sent = 0;
  for (auto _ : state) {
    state.PauseTiming();
    Round round(kFramesPerRound, runtime::Bytes(kFrameBytes + 6, 7));
    state.ResumeTiming();
    auto start = Clock::now();
    loop.run(send(client, server, std::move(round)));
    seconds += std::chrono::duration<double>(Clock::now() - start).count();
    sent += double(kFrameBytes + 6) * kFramesPerRound;
  }
  state.SetBytesProcessed(std::int64_t(sent));
  return sent / seconds;
}

void BM_RawSocketThroughput(benchmark::State& state) {
  figures.rawBytesPerSecond = referenceThroughput(
      state, socketPair, [](tcp::socket& client, tcp::socket& server, Round round) {
        return rawSend(client, std::move(round)) &&
               discard(server, (kFrameBytes + 6) * kFramesPerRound);
      });
}
BENCHMARK(BM_RawSocketThroughput)->Unit(benchmark::kMillisecond)->UseRealTime();

// Frames arrive from the encoder as fresh buffers: the link takes them over.
asio::awaitable<void> linkSend(transport::FrameConnection& link,
                               std::vector<protocol::Frame>& frames) {
  for (auto& frame : frames) co_await link.send(std::move(frame));
}

asio::awaitable<void> linkReceive(transport::FrameConnection& link, int count) {
  for (int i = 0; i < count; ++i) co_await link.receive();
}

// Sends rounds of 1 MiB video frames from one end of a link to the other; the frames are fresh
// buffers each round, as the encoder's are, and the link takes them over.
template <class MakeLinks>
double linkThroughput(benchmark::State& state, MakeLinks makeLinks) {
  Loop loop;
  auto [left, right] = loop.run(makeLinks());
  double seconds = 0, sent = 0;
  const protocol::Frame frame{protocol::Channel::video, {}, runtime::Bytes(kFrameBytes, 7)};
  for (auto _ : state) {
    state.PauseTiming();
    std::vector<protocol::Frame> frames(kFramesPerRound, frame);
    state.ResumeTiming();
    auto start = Clock::now();
    loop.run(linkSend(*left, frames) && linkReceive(*right, kFramesPerRound));
    seconds += std::chrono::duration<double>(Clock::now() - start).count();
    sent += double(kFrameBytes + 6) * kFramesPerRound;
  }
  state.SetBytesProcessed(std::int64_t(sent));
  return sent / seconds;
}

void BM_FrameConnectionThroughput(benchmark::State& state) {
  figures.linkBytesPerSecond = linkThroughput(state, linkPair);
}
BENCHMARK(BM_FrameConnectionThroughput)->Unit(benchmark::kMillisecond)->UseRealTime();

// The send side alone: the link writes to a raw socket that discards what it reads, as the raw
// reference's reader does. The allocations of the timed part are counted per frame.
void BM_FrameConnectionSendThroughput(benchmark::State& state) {
  Loop loop;
  auto [client, server] = loop.run(socketPair());
  auto stream = runtime::TcpByteStream::adopt(std::move(client));
  stream->start();
  auto link = transport::FrameConnection::make(stream);
  double seconds = 0, sent = 0;
  std::size_t frames = 0, counted = 0, countedBytes = 0;
  const protocol::Frame frame{protocol::Channel::video, {}, runtime::Bytes(kFrameBytes, 7)};
  for (auto _ : state) {
    state.PauseTiming();
    std::vector<protocol::Frame> round(kFramesPerRound, frame);
    state.ResumeTiming();
    const auto before = brindlet::bench::allocationsSoFar();
    auto start = Clock::now();
    loop.run(linkSend(*link, round) && discard(server, (kFrameBytes + 6) * kFramesPerRound));
    seconds += std::chrono::duration<double>(Clock::now() - start).count();
    const auto after = brindlet::bench::allocationsSoFar();
    counted += after.count - before.count;
    countedBytes += after.bytes - before.bytes;
    sent += double(kFrameBytes + 6) * kFramesPerRound;
    frames += kFramesPerRound;
  }
  state.SetBytesProcessed(std::int64_t(sent));
  figures.sendBytesPerSecond = sent / seconds;
  figures.allocationsPerFrame = double(counted) / double(frames);
  figures.allocatedBytesPerFrame = double(countedBytes) / double(frames);
}
BENCHMARK(BM_FrameConnectionSendThroughput)->Unit(benchmark::kMillisecond)->UseRealTime();

// The same link over TLS with a pre-shared key: dialled on one end, accepted on the other.
asio::awaitable<std::pair<std::shared_ptr<transport::FrameConnection>,
                          std::shared_ptr<transport::FrameConnection>>>
tlsLinkPair() {
  auto executor = co_await asio::this_coro::executor;
  tcp::acceptor acceptor(executor, {asio::ip::address_v4::loopback(), 0});
  const auto keys = transport::SecureChannel::parameters(
      {{"computer", transport::SymmetricKey(runtime::Bytes(32, 3))}});
  auto client =
      transport::TlsByteStream::dial(executor, "127.0.0.1", acceptor.local_endpoint().port(), keys);
  auto accepted = [](tcp::acceptor& acceptor, transport::SecureChannel::Parameters keys)
      -> asio::awaitable<std::shared_ptr<transport::TlsByteStream>> {
    auto server =
        transport::TlsByteStream::adopt(co_await acceptor.async_accept(asio::use_awaitable), keys);
    co_await transport::startAndWait(server, std::chrono::seconds(5));
    co_return server;
  };
  // The dial and the accept run at once; named first, as g++ 12 mishandles temporaries in
  // co_await expressions.
  auto clientReady = transport::startAndWait(client, std::chrono::seconds(5));
  auto serverReady = accepted(acceptor, keys);
  auto server = co_await (std::move(clientReady) && std::move(serverReady));
  co_return std::pair{helloDone(transport::FrameConnection::make(client)),
                      helloDone(transport::FrameConnection::make(server))};
}

// The bare TLS stream writing the same bytes, read and discarded on the other end.
asio::awaitable<void> bareTlsRound(transport::TlsStream& from, transport::TlsStream& to,
                                   Round round) {
  auto send = [](transport::TlsStream& from, Round round) -> asio::awaitable<void> {
    for (auto& bytes : round) {
      co_await from.write(bytes);
      runtime::Bytes().swap(bytes);
    }
  };
  auto discard = [](transport::TlsStream& to, std::size_t total) -> asio::awaitable<void> {
    std::vector<std::uint8_t> buffer(kFrameBytes);
    for (std::size_t got = 0; got < total;) got += co_await to.readSome(buffer);
  };
  auto sending = send(from, std::move(round));
  auto reading = discard(to, (kFrameBytes + 6) * kFramesPerRound);
  co_await (std::move(sending) && std::move(reading));
}

asio::awaitable<
    std::pair<std::unique_ptr<transport::TlsStream>, std::unique_ptr<transport::TlsStream>>>
bareTlsPair() {
  auto executor = co_await asio::this_coro::executor;
  tcp::acceptor acceptor(executor, {asio::ip::address_v4::loopback(), 0});
  const auto keys = transport::SecureChannel::parameters(
      {{"computer", transport::SymmetricKey(runtime::Bytes(32, 3))}});
  auto accepted = [](tcp::acceptor& acceptor, transport::SecureChannel::Parameters keys)
      -> asio::awaitable<std::unique_ptr<transport::TlsStream>> {
    auto socket = co_await acceptor.async_accept(asio::use_awaitable);
    co_return co_await transport::TlsStream::accept(std::move(socket), keys);
  };
  auto dialing =
      transport::TlsStream::connect(executor, "127.0.0.1", acceptor.local_endpoint().port(), keys);
  auto accepting = accepted(acceptor, keys);
  auto [client, server] = co_await (std::move(dialing) && std::move(accepting));
  co_return std::pair{std::move(client), std::move(server)};
}

void BM_BareTlsThroughput(benchmark::State& state) {
  figures.bareTlsBytesPerSecond =
      referenceThroughput(state, bareTlsPair, [](auto& client, auto& server, Round round) {
        return bareTlsRound(*client, *server, std::move(round));
      });
}
BENCHMARK(BM_BareTlsThroughput)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_TlsFrameConnectionThroughput(benchmark::State& state) {
  figures.tlsLinkBytesPerSecond = linkThroughput(state, tlsLinkPair);
}
BENCHMARK(BM_TlsFrameConnectionThroughput)->Unit(benchmark::kMillisecond)->UseRealTime();

// The raw socket's ping and pong do the same message work as the link's: each side encodes
// its message into a frame's bytes and decodes the one that arrives, so that the figure
// compares the byte paths alone.
asio::awaitable<protocol::ControlEnvelope> rawMessage(tcp::socket& socket) {
  static std::vector<std::uint8_t> buffer(4096);
  protocol::FrameParser parser;
  for (;;) {
    const auto n = co_await socket.async_read_some(asio::buffer(buffer), asio::use_awaitable);
    auto frames = parser.push(runtime::ByteView(buffer.data(), n));
    if (!frames.empty()) co_return protocol::ControlEnvelope::of(frames.front());
  }
}

asio::awaitable<void> rawPongs(tcp::socket& socket, int count) {
  for (int i = 0; i < count; ++i) {
    const auto ping = co_await rawMessage(socket);
    protocol::Pong pong{ping.message.as<protocol::Ping>()->ts};
    const auto bytes = protocol::ControlEnvelope(std::uint32_t(i + 1), pong).frame().encoded();
    co_await asio::async_write(socket, asio::buffer(bytes), asio::use_awaitable);
  }
}

asio::awaitable<void> rawPings(tcp::socket& socket, int count, std::vector<double>& samples) {
  for (int i = 0; i < count; ++i) {
    auto start = Clock::now();
    protocol::Ping ping{double(i)};
    const auto bytes = protocol::ControlEnvelope(std::uint32_t(i + 1), ping).frame().encoded();
    co_await asio::async_write(socket, asio::buffer(bytes), asio::use_awaitable);
    benchmark::DoNotOptimize(co_await rawMessage(socket));
    samples.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
  }
}

void BM_RawSocketRoundTrip(benchmark::State& state) {
  Loop loop;
  auto [client, server] = loop.run(socketPair());
  for (auto _ : state) {
    loop.run(rawPings(client, kRoundTrips, figures.rawRoundTrips) && rawPongs(server, kRoundTrips));
  }
}
BENCHMARK(BM_RawSocketRoundTrip)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(1);

asio::awaitable<void> pongs(transport::FrameConnection& link, int count) {
  for (int i = 0; i < count; ++i) {
    auto frame = co_await link.receive();
    auto envelope = protocol::ControlEnvelope::of(*frame);
    protocol::Pong pong{envelope.message.as<protocol::Ping>()->ts};
    co_await link.send(protocol::ControlMessage(pong));
  }
}

asio::awaitable<void> pings(transport::FrameConnection& link, int count,
                            std::vector<double>& samples) {
  for (int i = 0; i < count; ++i) {
    auto start = Clock::now();
    protocol::ControlMessage ping(protocol::Ping{double(i)});
    co_await link.send(std::move(ping));
    auto frame = co_await link.receive();
    benchmark::DoNotOptimize(protocol::ControlEnvelope::of(*frame));
    samples.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
  }
}

void BM_FrameConnectionRoundTrip(benchmark::State& state) {
  Loop loop;
  auto [left, right] = loop.run(linkPair());
  for (auto _ : state) {
    loop.run(pings(*left, kRoundTrips, figures.linkRoundTrips) && pongs(*right, kRoundTrips));
  }
}
BENCHMARK(BM_FrameConnectionRoundTrip)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(1);

}  // namespace

int main(int argc, char** argv) {
  bench::runAll(argc, argv);
  using bench::ratio;
  const double mib = bench::kMiB;
  const auto& f = figures;
  std::printf(
      "\n1 MiB frames, send side to a discarding reader: FrameConnection %.0f MiB/s, raw "
      "socket %.0f MiB/s, ratio %.2f (goal >= 0.9)\n",
      f.sendBytesPerSecond / mib, f.rawBytesPerSecond / mib,
      ratio(f.sendBytesPerSecond, f.rawBytesPerSecond));
  std::printf(
      "1 MiB frames, sender to receive(): FrameConnection %.0f MiB/s, raw socket %.0f "
      "MiB/s, ratio %.2f (goal >= 0.7)\n",
      f.linkBytesPerSecond / mib, f.rawBytesPerSecond / mib,
      ratio(f.linkBytesPerSecond, f.rawBytesPerSecond));
  std::printf(
      "1 MiB frames over TLS-PSK: link %.0f MiB/s, bare TLS stream %.0f MiB/s, ratio "
      "%.2f (goal >= 0.8)\n",
      f.tlsLinkBytesPerSecond / mib, f.bareTlsBytesPerSecond / mib,
      ratio(f.tlsLinkBytesPerSecond, f.bareTlsBytesPerSecond));
  const double linkP50 = percentile(f.linkRoundTrips, 0.5);
  const double rawP50 = percentile(f.rawRoundTrips, 0.5);
  std::printf(
      "ping -> pong over loopback TCP: FrameConnection p50 %.1f us, p99 %.1f us; raw "
      "socket p50 %.1f us, p99 %.1f us; p50 ratio %.2f (goal <= 2)\n",
      linkP50, percentile(f.linkRoundTrips, 0.99), rawP50, percentile(f.rawRoundTrips, 0.99),
      ratio(linkP50, rawP50));
  std::printf(
      "allocations per sent 1 MiB frame: %.1f, %.0f bytes (goal: none proportional to "
      "the payload)\n",
      f.allocationsPerFrame, f.allocatedBytesPerFrame);
  return 0;
}
