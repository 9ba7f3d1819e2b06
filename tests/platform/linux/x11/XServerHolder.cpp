// Holds a test X server, its window manager and a client until killed, after writing their
// process ids to the file named by its one argument: what
// XServerHarness.KilledTestLeavesNothingBehind kills as a crashed test would die.
// With --private first, it holds only a server started in private namespaces, as the end-to-end
// binaries start theirs: it writes the server's process id and display number, and stops the
// server when its input ends.

#include <chrono>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <string>
#include <thread>

#include "support/PrivateNamespaces.h"
#include "support/XServer.h"

namespace {

using brindlet::testsupport::XServer;

void publish(const std::string& file, const std::string& line) {
  std::ofstream(file + ".new") << line << "\n";
  std::rename((file + ".new").c_str(), file.c_str());
}

int holdInPrivateNamespaces(int argc, char** argv) {
  brindlet::testsupport::reexecInPrivateNamespaces(argc, argv);
  if (const auto why = brindlet::testsupport::outsidePrivateNamespaces()) {
    std::fprintf(stderr, "xserver-holder: %s\n", why->c_str());
    return 1;
  }
  XServer server;
  publish(argv[2], std::to_string(server.pid()) + " " + server.display().substr(1));
  for (std::string ignored; std::getline(std::cin, ignored);) {
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 3 && std::string(argv[1]) == "--private") return holdInPrivateNamespaces(argc, argv);
  if (argc != 2) {
    std::fprintf(stderr, "usage: xserver-holder [--private] <pid file>\n");
    return 2;
  }
  const std::string pidFile = argv[1];
  XServer server;
  server.startWindowManager();
  auto client = server.start({"xterm", "-e", "sleep", "600"});
  publish(pidFile, std::to_string(server.pid()) + " " + std::to_string(server.windowManagerPid()) +
                       " " + std::to_string(client->pid()));
  std::this_thread::sleep_for(std::chrono::seconds(600));
  return 0;
}
