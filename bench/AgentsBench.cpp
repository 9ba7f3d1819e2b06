// Heap held by the hook server per waiting request: 200 requests with 2 KiB bodies held at once,
// twice. Figures: heap per held request over the request's own bytes, and the second round's
// heap over the first's (flat when nothing is left behind).

#include <benchmark/benchmark.h>
#include <malloc.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include <boost/asio/io_context.hpp>

#include "BenchSupport.h"
#include "agents/HookServer.h"
#include "runtime/Log.h"
#include "runtime/OneShot.h"
#include "support/Loop.h"
#include "support/LoopbackClient.h"
#include "support/TempDir.h"

namespace {

namespace asio = boost::asio;
using namespace brindlet;
using runtime::Bytes;

constexpr int kHeld = 200;
constexpr std::size_t kBodyBytes = 2048;

struct Figures {
  double perRequestOverBytes = 0;
  double secondOverFirst = 0;
} figures;

std::size_t heapInUse() {
  const auto info = mallinfo2();
  return info.uordblks + info.hblkhd;
}

struct Bench {
  asio::io_context io;
  testsupport::TempDir dir;
  std::vector<std::shared_ptr<runtime::OneShot<Bytes>>> held;
  std::shared_ptr<agents::HookServer> server;
  std::string request;

  Bench() {
    const std::string token = agents::makeHookToken();
    server =
        agents::HookServer::make(io.get_executor(), token,
                                 [this](agents::HookEvent event) { return hold(std::move(event)); },
                                 {nullptr, dir.path() + "/agents", nullptr});
    server->start();
    pump();
    const std::string body(kBodyBytes, 'j');
    request = "POST /hook?vendor=claude HTTP/1.1\r\nHost: 127.0.0.1\r\nX-Brindlet-Token: " + token +
              "\r\nContent-Type: application/json\r\nX-Term: ghostty\r\nX-TTY: pts/3\r\n"
              "X-Tmux-Pane: %1\r\nX-Term-Session: \r\nContent-Length: " +
              std::to_string(body.size()) + "\r\n\r\n" + body;
  }

  asio::awaitable<Bytes> hold(agents::HookEvent) {
    auto shot = runtime::OneShot<Bytes>::make();
    held.push_back(shot);
    co_return co_await shot->wait();
  }

  void pump() { brindlet::testing::drain(io); }

  // Holds kHeld requests, returns the heap they hold, then answers them all.
  std::size_t round() {
    std::vector<std::unique_ptr<testsupport::LoopbackClient>> clients;
    clients.reserve(kHeld);
    held.reserve(kHeld);
    const auto base = heapInUse();
    for (int i = 0; i < kHeld; ++i) {
      clients.push_back(std::make_unique<testsupport::LoopbackClient>(server->port().value(),
                                                                      [this] { pump(); }));
      clients.back()->send(request);
    }
    while (held.size() < std::size_t(kHeld)) pump();
    const auto holding = heapInUse() - base;
    for (auto& shot : held) shot->resume(Bytes{'{', '}'});
    for (auto& client : clients) client->readToEnd();
    held.clear();
    clients.clear();
    pump();
    return holding;
  }
};

void BM_HeldHookRequests(benchmark::State& state) {
  runtime::LogCapture quiet;
  Bench bench;
  for (auto _ : state) {
    const auto first = bench.round();
    const auto second = bench.round();
    figures.perRequestOverBytes = double(first) / kHeld / double(bench.request.size());
    figures.secondOverFirst = double(second) / double(first);
  }
  state.counters["heap_per_request_over_bytes"] = figures.perRequestOverBytes;
  state.counters["second_over_first"] = figures.secondOverFirst;
}
BENCHMARK(BM_HeldHookRequests)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
  bench::runAll(argc, argv);
  std::printf("held hook requests: heap per held request / request bytes = %.2f (goal <= 16)\n",
              figures.perRequestOverBytes);
  std::printf("held hook requests: second round heap / first round heap = %.3f (goal <= 1.02)\n",
              figures.secondOverFirst);
  return 0;
}
