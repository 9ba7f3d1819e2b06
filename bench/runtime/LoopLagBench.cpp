// How late the main loop answers a 1 ms ticker: 10 s of a bare loop, then 10 s of the same loop
// while the deck reads 20 live keys at 4 Hz (log tails and process readers), the defaults change
// 100 times a second, a child's group is ended every second and pairing lookups meet a keyring
// that answers after 500 ms. Goal: the loaded p99.9 within 2 ms of the bare one, no lag over
// 20 ms.

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include <boost/asio/io_context.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/use_awaitable.hpp>

#include "deck/MemoryTree.h"
#include "deck/SystemReaders.h"
#include "platform/linux/secret/SecretServiceStore.h"
#include "runtime/FileDefaults.h"
#include "runtime/MainLoop.h"
#include "runtime/Process.h"
#include "runtime/ProcessTable.h"
#include "runtime/Task.h"
#include "support/SessionBus.h"
#include "support/TempDir.h"
#include "transport/HostTransport.h"
#include "transport/PairingStore.h"

namespace {

namespace asio = boost::asio;
using namespace brindlet;
using namespace std::chrono_literals;
using Steady = std::chrono::steady_clock;

constexpr auto kSpan = 10s;

struct Lags {
  std::vector<double> ms;
  double at(double share) {
    std::sort(ms.begin(), ms.end());
    if (ms.empty()) return 0;
    return ms[std::min(ms.size() - 1, static_cast<std::size_t>(share * double(ms.size())))];
  }
};

// Every 1 ms for the span: how long after its time the loop ran the tick.
asio::awaitable<void> measure(Lags& lags, bool& over) {
  asio::steady_timer timer(co_await asio::this_coro::executor);
  const auto start = Steady::now();
  auto due = start + 1ms;
  while (due < start + kSpan) {
    timer.expires_at(due);
    co_await timer.async_wait(asio::use_awaitable);
    const auto now = Steady::now();
    lags.ms.push_back(std::chrono::duration<double, std::milli>(now - due).count());
    due += 1ms;
    while (due < now) due += 1ms;  // ticks missed are one lag, not many
  }
  over = true;
}

asio::awaitable<void> pause(asio::steady_timer::duration d) {
  asio::steady_timer timer(co_await asio::this_coro::executor, d);
  co_await timer.async_wait(asio::use_awaitable);
}

asio::awaitable<void> readKeys(deck::SystemReaders& readers, const std::string& log,
                               const bool& over, int& reads) {
  while (!over) {
    for (int key = 0; key < 20; ++key) {
      profiles::Reader reader;
      if (key % 2 == 0) {
        reader.reader = profiles::Reader::Kind::logTail;
        reader.path = log;
      } else {
        reader.reader = profiles::Reader::Kind::process;
        reader.name = "bench_loop_lag";
      }
      auto reading = readers.read(std::move(reader), std::nullopt);
      co_await std::move(reading);
      ++reads;
    }
    co_await pause(250ms);
  }
}

asio::awaitable<void> changeDefaults(runtime::FileDefaults& defaults, const bool& over,
                                     int& changes) {
  while (!over) {
    defaults.setInteger("counter", ++changes);
    co_await pause(10ms);
  }
}

asio::awaitable<void> endGroups(const bool& over, int& ended, double& longestStart) {
  auto executor = co_await asio::this_coro::executor;
  while (!over) {
    runtime::Process::Options options;
    options.argv = {"sh", "-c", "sleep 30 & sleep 30 & trap '' TERM; sleep 30"};
    const auto starting = Steady::now();
    auto launching = runtime::Process::launch(executor, std::move(options));
    auto child = co_await std::move(launching);
    longestStart = std::max(
        longestStart, std::chrono::duration<double, std::milli>(Steady::now() - starting).count());
    co_await pause(500ms);
    co_await child.terminateGroup(100ms);
    ++ended;
    co_await pause(500ms);
  }
}

asio::awaitable<void> lookUpPairings(std::shared_ptr<transport::HostTransport> host,
                                     const bool& over, int& lookups) {
  while (!over) {
    transport::NearbyPhone phone;
    phone.uid = "phone";
    phone.name = "Phone";
    try {
      co_await host->connect(std::move(phone));
    } catch (const std::exception&) {
      // No key: what is measured is the wait.
    }
    ++lookups;
  }
}

void print(const char* name, Lags& lags) {
  const double count = double(lags.ms.size());
  std::printf("%-7s ticks %6.0f  p50 %7.3f ms  p99 %7.3f ms  p99.9 %7.3f ms  max %7.3f ms\n", name,
              count, lags.at(0.5), lags.at(0.99), lags.at(0.999), lags.at(1.0));
}

}  // namespace

int main() {
  testsupport::TempDir home;
  testsupport::usePrivateHome(home.path());
  ::unsetenv("DISPLAY");
  const std::string command = std::string("exec ") + SLOW_SECRET_SERVICE + " 500";
  auto bus = testsupport::startSessionBus(home.path(), command, "org.freedesktop.secrets");
  const std::string log = home.file("bench.log");
  {
    std::ofstream out(log);
    for (int i = 0; i < 2000; ++i) out << "line " << i << " of the bench's log\n";
  }

  runtime::MainLoop loop;
  auto& io = loop.context();
  Lags bare;
  bool bareOver = false;
  runtime::spawn(io.get_executor(), measure(bare, bareOver),
                 [&](std::exception_ptr) { loop.stop(); });
  loop.run();

  deck::testing::MemoryTree tree;
  runtime::ProcFsProcessTable processes;
  deck::SystemReaders readers(tree, processes, *runtime::Clock::system());
  runtime::FileDefaults defaults(io, home.file("config/brindlet/defaults.json"));
  transport::HostTransportSettings settings;
  settings.store = std::make_shared<transport::KeychainPairingStore>(
      std::make_shared<platform::SecretServiceStore>(), "brindlet.bench");
  settings.localHello.uid = "computer";
  settings.wifi = false;
  auto host = transport::HostTransport::make(io.get_executor(), settings);

  Lags loaded;
  bool over = false;
  int reads = 0, changes = 0, ended = 0, lookups = 0;
  runtime::spawn(io.get_executor(), measure(loaded, over), [&](std::exception_ptr) {
    // Leaves the work in flight a moment to end, then stops.
    runtime::spawn(io.get_executor(), pause(1500ms), [&](std::exception_ptr) { loop.stop(); });
  });
  runtime::spawn(io.get_executor(), readKeys(readers, log, over, reads));
  runtime::spawn(io.get_executor(), changeDefaults(defaults, over, changes));
  double longestStart = 0;
  runtime::spawn(io.get_executor(), endGroups(over, ended, longestStart));
  runtime::spawn(io.get_executor(), lookUpPairings(host, over, lookups));
  loop.run();

  print("bare", bare);
  print("loaded", loaded);
  std::printf("load: %d reader reads, %d defaults changes, %d groups ended, %d pairing lookups\n",
              reads, changes, ended, lookups);
  // Children start (posix_spawn) on the blocking worker; the loop only awaits the start.
  std::printf("longest child start, awaited on the loop: %.3f ms\n", longestStart);
  const double p999 = loaded.at(0.999) - bare.at(0.999);
  const double worst = loaded.at(1.0);
  const bool met = p999 <= 2.0 && worst <= 20.0;
  std::printf("p99.9 over the bare loop's: %.3f ms (goal <= 2), max %.3f ms (goal <= 20): %s\n",
              p999, worst, met ? "met" : "NOT met");
  return met ? 0 : 1;
}
