// The app on a computer where neither avahi-daemon nor usbmuxd can be reached: it keeps looking
// for both, and its log says so once for each, not once per attempt.

#include <signal.h>

#include <chrono>
#include <sstream>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "app/e2e/AppHarness.h"
#include "support/Eventually.h"
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
  // No system bus, so no avahi-daemon (the fixture's, when it runs one, is on a bus of its own),
  // and no usbmuxd: nothing listens at either address.
  testsupport::TempDir run;
  auto& brindlet = start({app}, {"USBMUXD_SOCKET_ADDRESS=UNIX:" + run.file("usbmuxd"),
                                 "DBUS_SYSTEM_BUS_ADDRESS=unix:path=" + run.file("system_bus")});
  ASSERT_TRUE(testsupport::eventually([] { return docked(); }, 10s, 50ms)) << brindlet.output();
  // Several retries of both: a browse every 2 s, a usbmuxd Listen every 3 s.
  std::this_thread::sleep_for(16s);
  kill(brindlet.pid(), SIGTERM);
  EXPECT_EQ(brindlet.waitExit(5s), 0);

  const std::string& output = brindlet.output();
  for (const char* source : {"Bonjour browse", "usbmuxd: "}) {
    SCOPED_TRACE(source);
    const int errors = linesOf(output, "error", source);
    EXPECT_TRUE(errors >= 1 && errors <= 2) << output;
    // The retries go on.
    EXPECT_GE(linesOf(output, "debug", source), 2) << output;
  }
}

}  // namespace
}  // namespace brindlet::app::testing
