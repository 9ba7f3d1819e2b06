// Time from a computer's dial to the phone transport's `connected` for a paired TLS link on
// loopback (TLS handshake, hello exchange, key check, pairOK), beside a bare TLS-PSK dial and
// accept on the same machine.

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <thread>
#include <vector>

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/experimental/awaitable_operators.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/asio/use_future.hpp>

#include "BenchLoop.h"
#include "BenchSupport.h"
#include "transport/ClientTransport.h"
#include "transport/FrameConnection.h"
#include "transport/MemoryPairingStore.h"
#include "transport/TlsByteStream.h"

namespace {

namespace asio = boost::asio;
using asio::ip::tcp;
using namespace asio::experimental::awaitable_operators;
using namespace brindlet;
using brindlet::bench::Loop;
using brindlet::bench::percentile;
using namespace brindlet::transport;
using Clock = std::chrono::steady_clock;

constexpr int kLinks = 200;
const std::string kMac = "A1B2C3D4-0000-4000-8000-000000000001";

std::vector<double> linkSamples, tlsSamples;

SecureChannel::Key macKey() {
  return {kMac, SymmetricKey(runtime::Bytes(32, 7))};
}

protocol::Hello helloOf(std::string name, std::string uid) {
  protocol::Hello hello;
  hello.proto = 1;
  hello.app = "bench";
  hello.device = "bench";
  hello.name = std::move(name);
  hello.uid = std::move(uid);
  return hello;
}

double micros(Clock::duration d) {
  return std::chrono::duration<double, std::micro>(d).count();
}

// Waits for the next event of the given kind, skipping others.
template <class E>
asio::awaitable<void> next(const ClientTransportEventStream& events) {
  while (auto event = co_await events->next()) {
    if (std::holds_alternative<E>(*event)) co_return;
  }
}

asio::awaitable<void> pairedLinks(std::shared_ptr<ClientTransport> phone, std::uint16_t port) {
  auto executor = co_await asio::this_coro::executor;
  const auto tls = secureTls(SecureChannel::parameters({macKey()}));
  for (int i = 0; i < kLinks; ++i) {
    const auto start = Clock::now();
    auto link = co_await FrameConnection::connect(
        executor, runtime::Endpoint::hostPort("127.0.0.1", port), tls, std::chrono::seconds(5));
    co_await Handshake::run(link, helloOf("Mac", kMac));
    co_await next<ClientTransportEvents::Connected>(phone->events());
    linkSamples.push_back(micros(Clock::now() - start));
    std::optional<std::string> reason("userDisconnected");
    co_await link->close(std::move(reason));
    co_await next<ClientTransportEvents::Disconnected>(phone->events());
  }
}

void BM_PairedTlsLinkToConnected(benchmark::State& state) {
  Loop loop;
  auto store = std::make_shared<MemoryPairingStore>();
  loop.run(store->save(macKey().secret, kMac));
  ClientTransport::Settings settings;
  settings.localHello = helloOf("Phone", "PHONE");
  settings.store = store;
  settings.port = 0;
  settings.advertise = false;
  auto phone = ClientTransport::make(loop.io.get_executor(), settings);
  loop.run(phone->start());
  std::optional<std::uint16_t> port;
  auto readPort = [](std::shared_ptr<ClientTransport> phone,
                     std::optional<std::uint16_t>& port) -> asio::awaitable<void> {
    port = co_await phone->secureListenerPort();
  };
  loop.run(readPort(phone, port));
  for (auto _ : state) loop.run(pairedLinks(phone, *port));
  loop.run(phone->stop("backgrounded"));
  phone->events()->cancel();
}
BENCHMARK(BM_PairedTlsLinkToConnected)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(1);

// The accepting side of a bare dial, started and ready.
asio::awaitable<std::shared_ptr<TlsByteStream>> acceptReady(tcp::acceptor& acceptor,
                                                            SecureChannel::Parameters parameters) {
  auto socket = co_await acceptor.async_accept(asio::use_awaitable);
  auto server = TlsByteStream::adopt(std::move(socket), std::move(parameters));
  co_await startAndWait(server, std::chrono::seconds(5));
  co_return server;
}

asio::awaitable<void> bareTlsDials(tcp::acceptor& acceptor) {
  auto executor = co_await asio::this_coro::executor;
  const auto parameters = SecureChannel::parameters({macKey()});
  for (int i = 0; i < kLinks; ++i) {
    const auto start = Clock::now();
    auto client =
        TlsByteStream::dial(executor, "127.0.0.1", acceptor.local_endpoint().port(), parameters);
    // The dial starts once, with its state watched from the start, while the accept runs: a
    // handshake may complete before the accepting side is awaited.
    auto dialled = startAndWait(client, std::chrono::seconds(5));
    auto accepted = acceptReady(acceptor, parameters);
    auto server = co_await (std::move(dialled) && std::move(accepted));
    tlsSamples.push_back(micros(Clock::now() - start));
    client->cancel();
    server->cancel();
  }
}

void BM_BareTlsPskDial(benchmark::State& state) {
  Loop loop;
  tcp::acceptor acceptor(loop.io, {asio::ip::make_address("127.0.0.1"), 0});
  for (auto _ : state) loop.run(bareTlsDials(acceptor));
}
BENCHMARK(BM_BareTlsPskDial)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(1);

}  // namespace

int main(int argc, char** argv) {
  bench::runAll(argc, argv);
  std::printf(
      "\npaired TLS link on loopback, connect -> phone's connected: p50 %.0f us, p99 %.0f us; "
      "bare TLS-PSK dial and accept: p50 %.0f us, p99 %.0f us\n",
      percentile(linkSamples, 0.5), percentile(linkSamples, 0.99), percentile(tlsSamples, 0.5),
      percentile(tlsSamples, 0.99));
  return 0;
}
