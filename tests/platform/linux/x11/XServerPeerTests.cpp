#include "support/XServer.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>

#include "support/Eventually.h"
#include "support/PrivateNamespaces.h"
#include "support/TempDir.h"

namespace brindlet::testsupport {
namespace {

using namespace std::chrono_literals;

sockaddr_un unixAddress(const std::string& path) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
  return address;
}

// A socket file at `path`, as a display's server makes it.
void placeSocketFile(const std::string& path) {
  const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
  const sockaddr_un address = unixAddress(path);
  ::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address);
  ::close(fd);
}

// The file systems mounted in a process's mount namespace, by mount point.
std::string fileSystemAt(pid_t pid, const std::string& mountPoint) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/mountinfo");
  std::string found;
  for (std::string line; std::getline(in, line);) {
    std::istringstream fields(line);
    std::string id, parent, device, root, point, word;
    fields >> id >> parent >> device >> root >> point;
    if (point != mountPoint) continue;
    while (fields >> word && word != "-") {
    }
    fields >> found;
  }
  return found;
}

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

// A killed server cannot remove its socket file: the harness does, and only the file that server
// made, never one that took its place.
TEST(XServerHarness, AKilledServersSocketFileGoesWithIt) {
  const struct {
    XServer::Kind kind;
    bool replaced;
  } rows[] = {
      {XServer::Kind::xvfb, false}, {XServer::Kind::xorgDummy, false}, {XServer::Kind::xvfb, true}};
  for (const auto& row : rows) {
    SCOPED_TRACE(testing::Message() << (row.kind == XServer::Kind::xvfb ? "Xvfb" : "Xorg")
                                    << (row.replaced ? ", replaced" : ""));
    XServer server(row.kind);
    const std::string file = "/tmp/.X11-unix/X" + server.display().substr(1);
    // The server's file moved aside keeps its inode number taken.
    const std::string aside = file + ".aside";
    struct stat placed {};
    if (row.replaced) {
      std::filesystem::rename(file, aside);
      placeSocketFile(file);
      ASSERT_EQ(::stat(file.c_str(), &placed), 0);
    }
    server.kill();
    struct stat after {};
    EXPECT_EQ(::stat(file.c_str(), &after) == 0, row.replaced) << file;
    if (!row.replaced) continue;
    EXPECT_EQ(after.st_ino, placed.st_ino) << file << " was replaced";
    std::filesystem::remove(file);
    std::filesystem::remove(aside);
  }
}

TEST(XServerHarness, KilledTestLeavesNothingBehind) {
  TempDir dir;
  const std::string pidFile = dir.file("pids");
  // A test holding a server, a window manager and a client, killed as a crashed test dies. Its
  // own temporary folders, which nothing removes once it is killed, go with this test's.
  ChildProcess holder({"env", "TMPDIR=" + dir.path(), BRINDLET_XSERVER_HOLDER, pidFile});
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

TEST(XServerHarness, ServerInPrivateNamespacesLeavesTheMachinesDisplayFilesAlone) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root for network and mount namespaces";
  TempDir dir;
  const std::string serverFile = dir.file("server");
  ChildProcess holder({BRINDLET_XSERVER_HOLDER, "--private", serverFile});
  pid_t server = 0;
  std::string number;
  ASSERT_TRUE(eventually([&] { return std::ifstream(serverFile) >> server >> number; }, 30s, 50ms))
      << holder.output();

  // In the server's own namespace, its socket and keymap folders are empty ones of its own.
  for (const auto& folder : privateXFolders())
    EXPECT_EQ(fileSystemAt(server, folder), "tmpfs") << folder;
  // The machine's socket file of that number is not the server's, and one placed there while
  // the server runs is still there, the same file, after the server ends.
  const std::string machines = "/tmp/.X11-unix/X" + number;
  EXPECT_FALSE(sameFileAs(server, machines)) << machines;
  std::filesystem::create_directories("/tmp/.X11-unix");
  std::filesystem::permissions("/tmp/.X11-unix",
                               std::filesystem::perms::all | std::filesystem::perms::sticky_bit);
  const bool placed = !std::filesystem::exists(machines);
  struct stat before {};
  if (placed) placeSocketFile(machines);
  ASSERT_EQ(::stat(machines.c_str(), &before), 0) << machines;
  holder.closeInput();
  EXPECT_TRUE(holder.waitExit(10s).has_value());
  EXPECT_TRUE(processesGone({server}, 5s));
  struct stat after {};
  EXPECT_EQ(::stat(machines.c_str(), &after), 0) << machines << " was removed";
  EXPECT_EQ(after.st_ino, before.st_ino) << machines << " was replaced";
  if (placed) std::filesystem::remove(machines);
}

}  // namespace
}  // namespace brindlet::testsupport
