#include <gtest/gtest.h>

#include <boost/asio/io_context.hpp>
#include <chrono>
#include <cstdlib>
#include <memory>
#include <string>

#include "platform/linux/secret/SecretServiceStore.h"
#include "runtime/Clock.h"
#include "runtime/Task.h"
#include "support/Loop.h"
#include "support/SessionBus.h"
#include "support/TempDir.h"
#include "transport/HostTransport.h"
#include "transport/PairingStore.h"
#include "transport/TransportError.h"

namespace brindlet::platform {
namespace {

namespace asio = boost::asio;
using namespace std::chrono_literals;

// A keyring that answers each search after 2 s: a pairing lookup waits for it while the loop
// goes on with everything else, here a 1 ms ticker.
TEST(SlowKeyring, APairingLookupWaitsWhileTheLoopKeepsTicking) {
  testsupport::TempDir home;
  testsupport::usePrivateHome(home.path());
  ::unsetenv("DISPLAY");
  const std::string command = std::string("exec ") + SLOW_SECRET_SERVICE + " 2000";
  auto bus = testsupport::startSessionBus(home.path(), command, "org.freedesktop.secrets");

  asio::io_context io;
  transport::HostTransportSettings settings;
  settings.store = std::make_shared<transport::KeychainPairingStore>(
      std::make_shared<SecretServiceStore>(), "brindlet.test.slow");
  settings.localHello.uid = "computer";
  settings.wifi = false;
  auto host = transport::HostTransport::make(io.get_executor(), settings);

  bool looking = true;
  int ticks = 0;
  auto longestGap = std::chrono::steady_clock::duration::zero();
  auto ticking = [&]() -> asio::awaitable<void> {
    runtime::Ticker ticker(runtime::Clock::system(), 1ms);
    auto last = std::chrono::steady_clock::now();
    while (looking) {
      co_await ticker.next();
      const auto now = std::chrono::steady_clock::now();
      longestGap = std::max(longestGap, now - last);
      last = now;
      ++ticks;
    }
  };
  auto ticker = runtime::spawn(io.get_executor(), ticking());

  transport::NearbyPhone phone;
  phone.uid = "phone";
  phone.name = "Phone";
  auto dial = [&]() -> asio::awaitable<std::string> {
    std::string failure;
    try {
      co_await host->connect(phone);
    } catch (const transport::TransportError& e) {
      failure = e.text();
    }
    looking = false;
    co_return failure;
  };
  const auto started = std::chrono::steady_clock::now();
  const auto failure = testing::runUntilDone(io, dial());
  const auto took = std::chrono::steady_clock::now() - started;
  // No key: the keyring's answer came, and only after its delay.
  EXPECT_NE(failure.find("isn't paired"), std::string::npos) << failure;
  EXPECT_GE(took, 2s);
  // The loop went on ticking all along: never held for anything near the keyring's delay.
  EXPECT_GT(ticks, 100);
  EXPECT_LT(longestGap, 1s);
}

}  // namespace
}  // namespace brindlet::platform
