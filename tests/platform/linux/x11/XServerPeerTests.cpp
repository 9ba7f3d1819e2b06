#include "support/XServer.h"

#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <set>
#include <sstream>

#include "support/Eventually.h"
#include "support/TempDir.h"

namespace brindlet::testsupport {
namespace {

using namespace std::chrono_literals;

TEST(XServerHarness, ServersStartOnTheirOwnDisplaysAndStopByProcessId) {
  std::vector<pid_t> pids;
  {
    XServer xvfb;
    XServer xorg(XServer::Kind::xorgDummy);
    EXPECT_NE(xvfb.display(), xorg.display());
    EXPECT_EQ(xvfb.run({"xdpyinfo"}).status, 0);

    // The dummy driver's spare RandR outputs, for the virtual display (the RandR peer test uses
    // them).
    const std::string outputs = xorg.run({"xrandr"}).output;
    for (int i = 0; i < 16; ++i)
      EXPECT_NE(outputs.find("DUMMY" + std::to_string(i) + " "), std::string::npos) << i;
    xorg.startWindowManager();
    EXPECT_NE(xorg.run({"wmctrl", "-m"}).output.find("Openbox"), std::string::npos);
    pids = {xvfb.pid(), xorg.pid(), xorg.windowManagerPid()};
  }
  EXPECT_TRUE(processesGone(pids, 5s));
}

TEST(XServerHarness, KilledTestLeavesNothingBehind) {
  TempDir dir;
  const std::string pidFile = dir.file("pids");
  // A test holding a server, a window manager and a client, killed as a crashed test dies.
  ChildProcess holder({BRINDLET_XSERVER_HOLDER, pidFile});
  std::vector<pid_t> pids;
  eventually(
      [&] {
        std::ifstream in(pidFile);
        for (pid_t pid; in >> pid;) pids.push_back(pid);
        return !pids.empty();
      },
      30s, 50ms);
  ASSERT_EQ(pids.size(), 3u) << holder.output();
  kill(holder.pid(), SIGKILL);
  holder.waitExit(5s);
  EXPECT_TRUE(processesGone(pids, 10s));
}

}  // namespace
}  // namespace brindlet::testsupport
