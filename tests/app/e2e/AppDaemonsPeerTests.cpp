// The app on a computer where neither avahi-daemon nor usbmuxd can be reached: it keeps looking
// for both, and its log says so once for each, not once per attempt; the attempts show when the
// log is asked for debug lines. Its hook server beside local clients that try to keep the hooks
// out.

#include <signal.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "app/e2e/AppHarness.h"
#include "support/Eventually.h"
#include "support/SlowClients.h"
#include "support/TempDir.h"

namespace brindlet::app::testing {
namespace {

// The lines of the output at the level ("error", "debug") whose message starts with `prefix`.
int linesOf(const std::string& output, const std::string& level, const std::string& prefix) {
  std::istringstream lines(output);
  int found = 0;
  for (std::string line; std::getline(lines, line);) {
    if (line.find("] " + level + ": " + prefix) != std::string::npos) ++found;
  }
  return found;
}

TEST_F(AppPeer, WithoutAvahiAndUsbmuxdEachIsOneErrorInTheLog) {
  // The retries show at debug, which only the variable asks for.
  const struct {
    const char* variable;
    bool retriesShown;
  } rows[] = {{nullptr, false}, {"BRINDLET_LOG=debug", true}};
  for (const auto& row : rows) {
    SCOPED_TRACE(row.variable ? row.variable : "no variable");
    // No system bus, so no avahi-daemon (the fixture's, when it runs one, is on a bus of its
    // own), and no usbmuxd: nothing listens at either address.
    testsupport::TempDir run;
    std::vector<std::string> environment{
        "USBMUXD_SOCKET_ADDRESS=UNIX:" + run.file("usbmuxd"),
        "DBUS_SYSTEM_BUS_ADDRESS=unix:path=" + run.file("system_bus")};
    if (row.variable) environment.emplace_back(row.variable);
    auto& brindlet = start({app}, environment);
    ASSERT_TRUE(testsupport::eventually([] { return docked(); }, 10s, 50ms)) << brindlet.output();
    // Several retries of both: a browse every 2 s, a usbmuxd Listen every 3 s.
    std::this_thread::sleep_for(10s);
    kill(brindlet.pid(), SIGTERM);
    EXPECT_EQ(brindlet.waitExit(5s), 0);

    const std::string& output = brindlet.output();
    for (const char* source : {"Bonjour browse", "usbmuxd: "}) {
      SCOPED_TRACE(source);
      const int errors = linesOf(output, "error", source);
      EXPECT_TRUE(errors >= 1 && errors <= 2) << output;
      const int retries = linesOf(output, "debug", source);
      if (row.retriesShown) {
        EXPECT_GE(retries, 2) << output;
      } else {
        EXPECT_EQ(retries, 0) << output;
      }
    }
  }
}

// 500 local clients hold the hook server's places by sending a byte a second, and come back the
// moment they are closed. The agents' hooks are all answered: sent whole by curl, and sent whole
// a moment after their connection, as a client on a busy computer may send them.
TEST_F(AppPeer, SlowClientsThatComeBackAtOnceDoNotKeepTheHooksOut) {
  auto& brindlet = start({app});
  const auto port = hookPort();
  ASSERT_NE(port, 0) << brindlet.output();
  {
    testsupport::SlowClients slow(port, 500);
    std::this_thread::sleep_for(1500ms);
    const auto [answered, sent] = curlHooks(port, 35);
    const int late = laggingHooks(port, 35);
    std::printf(
        "beside 500 slow clients that come back at once (%zu connections): answered %d/35 "
        "sent by curl, %d/35 sent 150 ms after their connection\n",
        slow.connections(), answered, late);
    EXPECT_EQ(answered, 35) << sent;
    EXPECT_EQ(late, 35);
  }
  kill(brindlet.pid(), SIGTERM);
  EXPECT_EQ(brindlet.waitExit(5s), 0);
}

}  // namespace
}  // namespace brindlet::app::testing
