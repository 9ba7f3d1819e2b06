// Link throughput and round trip over loopback TCP, each beside a raw asio socket doing the same.

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <future>
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

#include "BenchLoop.h"
#include "BenchSupport.h"
#include "protocol/ControlEnvelope.h"
#include "runtime/SocketByteStream.h"
#include "transport/FrameConnection.h"
#include "transport/TlsByteStream.h"

namespace {

namespace asio = boost::asio;
using asio::ip::tcp;
using namespace asio::experimental::awaitable_operators;
using namespace brindlet;
using brindlet::bench::Loop;
using brindlet::bench::percentile;
using Clock = std::chrono::steady_clock;

constexpr std::size_t kFrameBytes = 1 << 20;
constexpr int kFramesPerRound = 64;
constexpr int kRoundTrips = 2000;

struct Figures {
  double rawBytesPerSecond = 0, linkBytesPerSecond = 0, tlsLinkBytesPerSecond = 0;
  std::vector<double> rawRoundTrips, linkRoundTrips;  // microseconds
} figures;

asio::awaitable<std::pair<tcp::socket, tcp::socket>> socketPair() {
  auto executor = co_await asio::this_coro::executor;
  tcp::acceptor acceptor(executor, {asio::ip::address_v4::loopback(), 0});
  tcp::socket client(executor);
  co_await client.async_connect(acceptor.local_endpoint(), asio::use_awaitable);
  auto server = co_await acceptor.async_accept(asio::use_awaitable);
  client.set_option(tcp::no_delay(true));
  server.set_option(tcp::no_delay(true));
  co_return std::pair{std::move(client), std::move(server)};
}

asio::awaitable<std::pair<std::shared_ptr<transport::FrameConnection>,
                          std::shared_ptr<transport::FrameConnection>>>
linkPair() {
  auto [client, server] = co_await socketPair();
  auto a = runtime::TcpByteStream::adopt(std::move(client));
  auto b = runtime::TcpByteStream::adopt(std::move(server));
  a->start();
  b->start();
  co_return std::pair{transport::FrameConnection::make(a), transport::FrameConnection::make(b)};
}

asio::awaitable<void> rawSend(tcp::socket& socket, const runtime::Bytes& bytes, int count) {
  for (int i = 0; i < count; ++i)
    co_await asio::async_write(socket, asio::buffer(bytes), asio::use_awaitable);
}

asio::awaitable<void> rawReceive(tcp::socket& socket, std::size_t total) {
  std::vector<std::uint8_t> buffer(kFrameBytes);
  for (std::size_t got = 0; got < total;) {
    got += co_await socket.async_read_some(asio::buffer(buffer), asio::use_awaitable);
  }
}

void BM_RawSocketThroughput(benchmark::State& state) {
  Loop loop;
  auto [client, server] = loop.run(socketPair());
  const runtime::Bytes bytes(kFrameBytes + 6, 7);
  double seconds = 0, sent = 0;
  for (auto _ : state) {
    auto start = Clock::now();
    loop.run(rawSend(client, bytes, kFramesPerRound) &&
             rawReceive(server, bytes.size() * kFramesPerRound));
    seconds += std::chrono::duration<double>(Clock::now() - start).count();
    sent += double(bytes.size()) * kFramesPerRound;
  }
  state.SetBytesProcessed(std::int64_t(sent));
  figures.rawBytesPerSecond = sent / seconds;
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
  co_return std::pair{transport::FrameConnection::make(client),
                      transport::FrameConnection::make(server)};
}

void BM_TlsFrameConnectionThroughput(benchmark::State& state) {
  figures.tlsLinkBytesPerSecond = linkThroughput(state, tlsLinkPair);
}
BENCHMARK(BM_TlsFrameConnectionThroughput)->Unit(benchmark::kMillisecond)->UseRealTime();

asio::awaitable<void> rawEcho(tcp::socket& socket, std::size_t size, int count) {
  std::vector<std::uint8_t> buffer(size);
  for (int i = 0; i < count; ++i) {
    co_await asio::async_read(socket, asio::buffer(buffer), asio::use_awaitable);
    co_await asio::async_write(socket, asio::buffer(buffer), asio::use_awaitable);
  }
}

asio::awaitable<void> rawPing(tcp::socket& socket, std::size_t size, int count,
                              std::vector<double>& samples) {
  std::vector<std::uint8_t> buffer(size, 1);
  for (int i = 0; i < count; ++i) {
    auto start = Clock::now();
    co_await asio::async_write(socket, asio::buffer(buffer), asio::use_awaitable);
    co_await asio::async_read(socket, asio::buffer(buffer), asio::use_awaitable);
    samples.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
  }
}

void BM_RawSocketRoundTrip(benchmark::State& state) {
  Loop loop;
  auto [client, server] = loop.run(socketPair());
  // The same bytes a ping frame carries on the wire.
  const auto size =
      protocol::Frame::control(protocol::ControlEnvelope(1, protocol::Ping{1.0})).encoded().size();
  for (auto _ : state) {
    loop.run(rawPing(client, size, kRoundTrips, figures.rawRoundTrips) &&
             rawEcho(server, size, kRoundTrips));
  }
}
BENCHMARK(BM_RawSocketRoundTrip)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(1);

asio::awaitable<void> pongs(transport::FrameConnection& link, int count) {
  for (int i = 0; i < count; ++i) {
    auto frame = co_await link.receive();
    auto envelope = frame->controlEnvelope();
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
    benchmark::DoNotOptimize(frame->controlEnvelope());
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
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  const double mib = 1024.0 * 1024.0;
  std::printf(
      "\n1 MiB video frames over loopback TCP: FrameConnection %.0f MiB/s, raw socket %.0f MiB/s, "
      "ratio %.2f (goal >= 0.7)\n",
      figures.linkBytesPerSecond / mib, figures.rawBytesPerSecond / mib,
      figures.rawBytesPerSecond > 0 ? figures.linkBytesPerSecond / figures.rawBytesPerSecond : 0.0);
  std::printf(
      "1 MiB video frames over the TLS-PSK link: %.0f MiB/s, plain TCP link %.0f MiB/s, ratio "
      "%.2f\n",
      figures.tlsLinkBytesPerSecond / mib, figures.linkBytesPerSecond / mib,
      figures.linkBytesPerSecond > 0 ? figures.tlsLinkBytesPerSecond / figures.linkBytesPerSecond
                                     : 0.0);
  std::printf(
      "ping -> pong round trip over loopback TCP: FrameConnection p50 %.1f us, p99 %.1f us; "
      "raw socket p50 %.1f us, p99 %.1f us (goal p50 <= 100 us)\n",
      percentile(figures.linkRoundTrips, 0.5), percentile(figures.linkRoundTrips, 0.99),
      percentile(figures.rawRoundTrips, 0.5), percentile(figures.rawRoundTrips, 0.99));
  return 0;
}
