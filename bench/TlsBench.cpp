// The TLS-PSK link beside plain TCP on loopback: one-way throughput of 1 MiB video frames, cut
// into frames on arrival, and the time of a whole dial (TCP connect and TLS handshake).

#include <algorithm>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/asio/write.hpp>
#include <chrono>
#include <thread>
#include <vector>

#include "BenchSupport.h"
#include "protocol/Frame.h"
#include "transport/TlsStream.h"

namespace {

namespace asio = boost::asio;
using asio::ip::tcp;
using namespace brindlet;
using transport::TlsStream;
using transport::SecureChannel::Key;

constexpr std::size_t kFrameBytes = 1024 * 1024;
constexpr int kFramesPerRound = 16;

const runtime::Bytes& videoFrame() {
  static const runtime::Bytes wire =
      protocol::Frame{protocol::Channel::video, protocol::FrameFlags::keyframe,
                      runtime::Bytes(kFrameBytes, 0x42)}
          .encoded();
  return wire;
}

const transport::SecureChannel::Parameters& parameters() {
  static const auto params = transport::SecureChannel::parameters({Key{
      "A1B2C3D4-0000-4000-8000-000000000001", transport::SymmetricKey(runtime::Bytes(32, 7))}});
  return params;
}

const tcp::endpoint loopback(asio::ip::make_address("127.0.0.1"), 0);

void runBoth(asio::io_context& a, asio::io_context& b) {
  std::thread other([&] { b.run(); });
  a.run();
  other.join();
  a.restart();
  b.restart();
}

// Reads until `frames` whole frames have arrived.
template <class ReadSome>
asio::awaitable<void> receiveFrames(ReadSome readSome, int frames) {
  protocol::FrameParser parser;
  std::vector<std::uint8_t> buffer(1024 * 1024);
  for (int seen = 0; seen < frames;) {
    std::size_t n = co_await readSome(std::span<std::uint8_t>(buffer));
    if (n == 0) co_return;
    seen += static_cast<int>(parser.push(runtime::ByteView(buffer.data(), n)).size());
  }
}

// Each end runs on its own thread, as the two machines of a real link would.
struct TlsPair {
  asio::io_context io, serverIo;
  std::unique_ptr<TlsStream> client, server;

  TlsPair() {
    tcp::acceptor acceptor(serverIo, loopback);
    auto port = acceptor.local_endpoint().port();
    asio::co_spawn(
        serverIo,
        [&]() -> asio::awaitable<void> {
          tcp::socket s = co_await acceptor.async_accept(asio::use_awaitable);
          server = co_await TlsStream::accept(std::move(s), parameters());
        },
        asio::detached);
    asio::co_spawn(
        io,
        [&]() -> asio::awaitable<void> {
          client = co_await TlsStream::connect(io.get_executor(), "127.0.0.1", port, parameters());
        },
        asio::detached);
    runBoth(io, serverIo);
  }
};

// One round: the writer sends the frames while the reader takes them in and cuts them.
template <class Pair, class Write, class ReadSome>
void sendRound(benchmark::State& state, Pair& pair, Write write, ReadSome readSome) {
  for (auto _ : state) {
    asio::co_spawn(
        pair.io,
        [&]() -> asio::awaitable<void> {
          for (int i = 0; i < kFramesPerRound; ++i) co_await write(videoFrame());
        },
        asio::detached);
    asio::co_spawn(pair.serverIo, receiveFrames(readSome, kFramesPerRound), asio::detached);
    runBoth(pair.io, pair.serverIo);
  }
  state.SetBytesProcessed(std::int64_t(state.iterations()) * kFramesPerRound *
                          std::int64_t(videoFrame().size()));
}

void BM_TlsVideoFrames(benchmark::State& state) {
  static TlsPair pair;
  sendRound(
      state, pair, [&](const runtime::Bytes& b) { return pair.client->write(b); },
      [&](std::span<std::uint8_t> b) { return pair.server->readSome(b); });
}
BENCHMARK(BM_TlsVideoFrames)->UseRealTime();

struct TcpPair {
  asio::io_context io, serverIo;
  tcp::socket client{io}, server{serverIo};

  TcpPair() {
    tcp::acceptor acceptor(io, loopback);
    client.connect(acceptor.local_endpoint());
    acceptor.accept(server);
    client.set_option(tcp::no_delay(true));
    server.set_option(tcp::no_delay(true));
  }
};

// The reference: the same frames over a plain TCP connection, read and cut the same way.
void BM_TcpVideoFrames(benchmark::State& state) {
  static TcpPair pair;
  sendRound(
      state, pair,
      [&](const runtime::Bytes& b) {
        return asio::async_write(pair.client, asio::buffer(b), asio::use_awaitable);
      },
      [&](std::span<std::uint8_t> b) {
        return pair.server.async_read_some(asio::buffer(b.data(), b.size()), asio::use_awaitable);
      });
}
BENCHMARK(BM_TcpVideoFrames)->UseRealTime();

// One dial: TCP connect, accept and the TLS-PSK handshake on both sides.
double handshakeMicroseconds() {
  auto start = std::chrono::steady_clock::now();
  TlsPair pair;
  auto took = std::chrono::steady_clock::now() - start;
  if (!pair.client || !pair.server) return -1;
  return std::chrono::duration<double, std::micro>(took).count();
}

}  // namespace

int main(int argc, char** argv) {
  auto& r = bench::runAll(argc, argv);
  const double tls = r["BM_TlsVideoFrames/real_time"].bytesPerSecond;
  const double tcp = r["BM_TcpVideoFrames/real_time"].bytesPerSecond;
  std::printf(
      "\n1 MiB video frames over loopback: TLS-PSK %.2f GB/s; plain TCP %.2f GB/s; ratio %.2f\n",
      tls / 1e9, tcp / 1e9, tcp > 0 ? tls / tcp : 0.0);

  std::vector<double> times;
  for (int i = 0; i < 200; ++i) times.push_back(handshakeMicroseconds());
  std::sort(times.begin(), times.end());
  std::printf(
      "TLS-PSK dial (connect + handshake) on loopback, 200 dials: p50 %.0f us, p99 %.0f us\n",
      times[times.size() / 2], times[times.size() * 99 / 100]);
  return 0;
}
