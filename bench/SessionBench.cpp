// The host session at rest: the main thread's CPU time over wall time for 10 s, (a) started with
// no phone, (b) with a phone linked over loopback TCP that has no display (the session sends it
// `stats` once a second), each beside a bare main loop in the same run. (c) The session on the
// real pieces under Xorg with the dummy driver: the scripted phone's `pane` to its
// `displayReady`, over 20 attach and release cycles, beside the display manager's attach alone.

#include <benchmark/benchmark.h>
#include <time.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <memory>
#include <thread>

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/use_awaitable.hpp>

#include "BenchSupport.h"
#include "desktop/FakeMonitorLayout.h"
#include "desktop/RecordingPoster.h"
#include "protocol/DisplayMessages.h"
#include "runtime/SocketByteStream.h"
#include "runtime/Task.h"
#include "session/HostSession.h"
#include "session/RealSession.h"
#include "session/SessionDoubles.h"
#include "streaming/VirtualDisplayManager.h"
#include "support/Loop.h"
#include "support/Streams.h"
#include "transport/FrameConnection.h"
#include "transport/MemoryPairingStore.h"

namespace {

using namespace brindlet;
namespace asio = boost::asio;
using session::testing::Trace;

constexpr auto kSpan = std::chrono::seconds(10);

// The system clock, counting the sleeps in progress: a session at rest arms none.
class CountingClock final : public runtime::Clock {
 public:
  std::atomic<int> armed{0};
  std::atomic<int> mostArmed{0};

  TimePoint now() const override { return real_.now(); }
  asio::awaitable<void> sleep(runtime::Duration d) override {
    Armed a(*this);
    co_await real_.sleep(d);
  }
  asio::awaitable<void> sleepUntil(TimePoint deadline) override {
    Armed a(*this);
    co_await real_.sleepUntil(deadline);
  }

 private:
  struct Armed {
    explicit Armed(CountingClock& c) : clock(c) {
      const int now = ++clock.armed;
      if (now > clock.mostArmed) clock.mostArmed = now;
    }
    ~Armed() { --clock.armed; }
    CountingClock& clock;
  };
  runtime::SystemClock real_;
};

double threadSeconds() {
  timespec t{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return double(t.tv_sec) + double(t.tv_nsec) / 1e9;
}

struct Rest {
  double cpuOverWall = 0;  // fraction of one core
  std::size_t handlers = 0;
};

// Runs the loop on this thread for the span; another thread stops it.
Rest runAtRest(asio::io_context& io) {
  auto guard = asio::make_work_guard(io);
  io.restart();
  std::thread stopper([&io] {
    std::this_thread::sleep_for(kSpan);
    io.stop();
  });
  const double cpu0 = threadSeconds();
  const auto wall0 = std::chrono::steady_clock::now();
  const std::size_t handlers = io.run();
  const double cpu = threadSeconds() - cpu0;
  const double wall =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - wall0).count();
  stopper.join();
  return {cpu / wall, handlers};
}

struct Doubles {
  Trace calls;
  std::shared_ptr<session::testing::FakeTransport> transport =
      std::make_shared<session::testing::FakeTransport>();
  std::shared_ptr<session::testing::RecordingDisplays> displays =
      std::make_shared<session::testing::RecordingDisplays>();
  std::shared_ptr<session::testing::RecordingStreamer> streamer;
  std::shared_ptr<CountingClock> clock = std::make_shared<CountingClock>();
  std::shared_ptr<session::HostSession> session;

  explicit Doubles(asio::io_context& io)
      : streamer(std::make_shared<session::testing::RecordingStreamer>(io.get_executor())) {
    displays->trace = &calls;
    streamer->trace = &calls;
    session::HostSession::Roles roles{transport,
                                      std::make_shared<transport::MemoryPairingStore>(),
                                      displays,
                                      streamer,
                                      std::make_shared<session::testing::RecordingInput>(),
                                      std::make_shared<desktop::RecordingPoster>(),
                                      std::make_shared<session::testing::RecordingFollower>(),
                                      std::make_shared<desktop::FakeMonitorLayout>(),
                                      clock};
    session = session::HostSession::make(io.get_executor(), std::move(roles));
    brindlet::testing::runUntilDone(io, session->start());
  }
};

struct Figures {
  Rest bare, idle, linkedBare, linked;
  int armedIdle = 0;
  int statsReceived = 0;
  std::vector<double> paneToReady, attachAlone;  // ms
} figures;

void BM_BareLoop(benchmark::State& state) {
  for (auto _ : state) {
    asio::io_context io;
    (state.range(0) == 0 ? figures.bare : figures.linkedBare) = runAtRest(io);
  }
}

void BM_SessionWithoutPhone(benchmark::State& state) {
  for (auto _ : state) {
    asio::io_context io;
    Doubles d(io);
    brindlet::testing::drain(io);
    figures.idle = runAtRest(io);
    figures.armedIdle = d.clock->mostArmed;
    d.session.reset();
    d.transport->queue->finish();
    brindlet::testing::drain(io);
  }
}

// The phone's end runs on a thread of its own and counts what arrives.
asio::awaitable<void> countStats(std::shared_ptr<transport::FrameConnection> phone,
                                 std::atomic<int>* stats) {
  for (;;) {
    auto frame = co_await phone->receive();
    if (!frame) co_return;
    if (protocol::ControlEnvelope::of(*frame).message.as<protocol::Stats>()) ++*stats;
  }
}

asio::awaitable<std::shared_ptr<runtime::ByteStream>> accept(asio::ip::tcp::acceptor& acceptor) {
  auto socket = co_await acceptor.async_accept(asio::use_awaitable);
  co_return runtime::TcpByteStream::adopt(std::move(socket));
}

void BM_SessionWithPhoneNoDisplay(benchmark::State& state) {
  for (auto _ : state) {
    asio::io_context io;
    asio::io_context phoneIo;
    auto phoneWork = asio::make_work_guard(phoneIo);
    std::thread phoneThread([&] { phoneIo.run(); });
    Doubles d(io);

    asio::ip::tcp::acceptor acceptor(io, {asio::ip::address_v4::loopback(), 0});
    auto dialled = runtime::TcpByteStream::dial(phoneIo.get_executor(), "127.0.0.1",
                                                acceptor.local_endpoint().port());
    auto phoneReady = brindlet::testing::startWatching(*dialled);
    auto hostStream = brindlet::testing::runUntilDone(io, accept(acceptor));
    brindlet::testing::runUntilDone(io, brindlet::testing::startReady(*hostStream));
    brindlet::testing::runUntilDone(io, phoneReady->wait());
    dialled->setStateHandler(nullptr);

    auto host = transport::FrameConnection::make(hostStream);
    auto phone = transport::FrameConnection::make(dialled);
    std::atomic<int> stats{0};
    runtime::spawn(phoneIo.get_executor(), countStats(phone, &stats));
    protocol::Hello hello;
    hello.proto = 1;
    hello.device = "iPhone15,2";
    hello.name = "Bench";
    d.transport->queue->push(transport::HostTransportEvent::connected(
        {host, transport::Route::wifi("Bench"), hello, std::nullopt}));
    brindlet::testing::drain(io);

    figures.linked = runAtRest(io);
    figures.statsReceived = stats;

    d.session.reset();
    d.transport->queue->finish();
    hostStream->cancel();
    dialled->cancel();
    brindlet::testing::drain(io);
    phoneWork.reset();
    phoneThread.join();
  }
}

constexpr int kCycles = 20;

double millisecondsSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
      .count();
}

void BM_PaneToDisplayReady(benchmark::State& state) {
  for (auto _ : state) {
    session::testing::RealSession s;
    s.dial();
    protocol::Pane deckOnly;
    deckOnly.w = 393;
    deckOnly.h = 852;
    deckOnly.scale = 3;
    deckOnly.mode = protocol::Mode::deckOnly;
    for (int i = 0; i < kCycles; ++i) {
      auto from = s.outputSize();
      const auto start = std::chrono::steady_clock::now();
      s.tell("pane 393 852 3");
      if (!s.receive("displayReady", from, std::chrono::seconds(5))) {
        state.SkipWithError("no displayReady");
        return;
      }
      figures.paneToReady.push_back(millisecondsSince(start));
      from = s.outputSize();
      s.send(deckOnly);
      if (!s.receive("displayGone", from, std::chrono::seconds(5))) {
        state.SkipWithError("no displayGone");
        return;
      }
    }
    // The same display made by the manager alone, on the same server.
    const streaming::VirtualDisplayConfig config{
        session::testing::RealSession::kDisplayName, 1, 589, 1278, 2, 60};
    for (int i = 0; i < kCycles; ++i) {
      const auto start = std::chrono::steady_clock::now();
      s.await(s.manager->attach(config));
      figures.attachAlone.push_back(millisecondsSince(start));
      s.await(s.manager->detach());
    }
  }
}

BENCHMARK(BM_BareLoop)->Arg(0)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(1);
BENCHMARK(BM_SessionWithoutPhone)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(1);
BENCHMARK(BM_BareLoop)->Arg(1)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(1);
BENCHMARK(BM_SessionWithPhoneNoDisplay)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Iterations(1);
BENCHMARK(BM_PaneToDisplayReady)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(1);

}  // namespace

int main(int argc, char** argv) {
  bench::runAll(argc, argv);
  const double span = std::chrono::duration<double>(kSpan).count();
  std::printf(
      "(a) started session, no phone: main-thread CPU / wall %.4f %% over %.0f s, %zu handlers "
      "run, at most %d timers armed (goal: no timer armed, no wake-up); bare main loop %.4f %%, "
      "%zu handlers\n",
      figures.idle.cpuOverWall * 100, span, figures.idle.handlers, figures.armedIdle,
      figures.bare.cpuOverWall * 100, figures.bare.handlers);
  std::printf(
      "(b) phone linked over loopback, no display: main-thread CPU / wall %.4f %% over %.0f s, "
      "%zu handlers run, %d stats received (goal < 0.1 %%); bare main loop %.4f %%, %zu "
      "handlers\n",
      figures.linked.cpuOverWall * 100, span, figures.linked.handlers, figures.statsReceived,
      figures.linkedBare.cpuOverWall * 100, figures.linkedBare.handlers);
  std::printf(
      "(c) Xorg-dummy, phone's pane -> its displayReady: p50 %.1f ms, p90 %.1f ms over %zu "
      "attach/release cycles (goal p50 <= 1000 ms); the display manager's attach alone: p50 "
      "%.1f ms, p90 %.1f ms over %zu\n",
      bench::percentile(figures.paneToReady, 0.5), bench::percentile(figures.paneToReady, 0.9),
      figures.paneToReady.size(), bench::percentile(figures.attachAlone, 0.5),
      bench::percentile(figures.attachAlone, 0.9), figures.attachAlone.size());
  return 0;
}
