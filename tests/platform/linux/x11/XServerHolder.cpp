// Holds a test X server, its window manager and a client until killed, after writing their
// process ids to the file named by its one argument: what
// XServerHarness.KilledTestLeavesNothingBehind kills as a crashed test would die.

#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>
#include <thread>

#include "support/XServer.h"

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: xserver-holder <pid file>\n");
    return 2;
  }
  using brindlet::testsupport::XServer;
  const std::string pidFile = argv[1];
  XServer server;
  server.startWindowManager();
  auto client = server.start({"xterm", "-e", "sleep", "600"});
  std::ofstream(pidFile + ".new") << server.pid() << " " << server.windowManagerPid() << " "
                                  << client->pid() << "\n";
  std::rename((pidFile + ".new").c_str(), pidFile.c_str());
  std::this_thread::sleep_for(std::chrono::seconds(600));
  return 0;
}
