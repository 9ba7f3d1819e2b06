#include "support/XServer.h"

#include "support/Eventually.h"
#include "support/TempDir.h"

#include <signal.h>
#include <sys/stat.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace brindlet::testsupport {
namespace {

using namespace std::chrono_literals;
constexpr auto kStartTimeout = 20s;

// Wide sync ranges let the dummy driver offer every mode; the large virtual screen leaves room
// for the outputs that tests switch on beside each other.
const char* kDummyConfig = R"(Section "ServerFlags"
  Option "AutoAddDevices" "false"
  Option "AutoAddGPU" "false"
  Option "DontVTSwitch" "true"
EndSection
Section "Device"
  Identifier "dummy"
  Driver "dummy"
  VideoRam 512000
EndSection
Section "Monitor"
  Identifier "monitor"
  HorizSync 5.0 - 1000.0
  VertRefresh 5.0 - 200.0
EndSection
Section "Screen"
  Identifier "screen"
  Device "dummy"
  Monitor "monitor"
  DefaultDepth 24
  SubSection "Display"
    Depth 24
    Virtual 8192 4096
  EndSubSection
EndSection
)";

}  // namespace

XServer::XServer(Kind kind, const std::vector<std::string>& arguments) {
  // The server writes its display number to descriptor 3 once it accepts clients; the shell
  // only points that descriptor at a file and then becomes the server (same process id).
  const std::string numberFile = dir_.file("display");
  std::vector<std::string> argv{"sh", "-c", "exec \"$@\" 3>\"$0\"", numberFile};
  if (kind == Kind::xvfb) {
    argv.insert(argv.end(), {"Xvfb", "-screen", "0", "1920x1080x24"});
  } else {
    dir_.write("xorg.conf", kDummyConfig);
    std::filesystem::create_directory(dir_.file("xorg.conf.d"));
    // The server itself, not the wrapper that checks for a console.
    argv.insert(argv.end(), {"/usr/lib/xorg/Xorg", "-config", dir_.file("xorg.conf"), "-configdir",
                             dir_.file("xorg.conf.d"), "-logfile", dir_.file("xorg.log"),
                             "-novtswitch", "-sharevts"});
  }
  argv.insert(argv.end(), {"-displayfd", "3", "-nolisten", "tcp", "-noreset"});
  argv.insert(argv.end(), arguments.begin(), arguments.end());
  server_ = std::make_unique<ChildProcess>(argv);
  const bool started = eventually(
      [&] {
        return readFile(numberFile).find('\n') != std::string::npos || server_->waitExit(0ms);
      },
      kStartTimeout, 20ms);
  const std::string number = readFile(numberFile);
  if (!started || number.empty() || server_->waitExit(0ms))
    throw std::runtime_error("X server did not start: " + server_->output() +
                             readFile(dir_.file("xorg.log")));
  display_ = ":" + number.substr(0, number.find('\n'));
  // A server in namespaces of its own makes its socket where the machine's path shows another
  // file, or none: only the very file it made is its to remove.
  socketFile_ = "/tmp/.X11-unix/X" + display_.substr(1);
  struct stat made {};
  if (sameFileAs(server_->pid(), socketFile_) && ::stat(socketFile_.c_str(), &made) == 0)
    socketInode_ = made.st_ino;
}

XServer::~XServer() {
  windowManager_.reset();
  server_.reset();
}

std::vector<std::string> XServer::onDisplay(const std::vector<std::string>& argv) const {
  std::vector<std::string> all{"env", "DISPLAY=" + display_, "XDG_CONFIG_HOME=" + dir_.path(),
                               "XDG_CACHE_HOME=" + dir_.path(), "HOME=" + dir_.path()};
  all.insert(all.end(), argv.begin(), argv.end());
  return all;
}

void XServer::startWindowManager() {
  // A second openbox would find the first one running and leave, and replacing the first one's
  // process would end it: the display would have no window manager, while the root window's
  // stale announcement said otherwise.
  if (windowManager_) return;
  windowManager_ = start({"openbox", "--sm-disable"});
  const bool managed = eventually(
      [&] {
        return run({"xprop", "-root", "_NET_SUPPORTING_WM_CHECK"}).output.find("window id") !=
               std::string::npos;
      },
      kStartTimeout, 20ms);
  if (!managed) throw std::runtime_error("openbox did not start: " + windowManager_->output());
}

std::unique_ptr<ChildProcess> XServer::start(const std::vector<std::string>& argv) const {
  return std::make_unique<ChildProcess>(onDisplay(argv));
}

ProgramResult XServer::run(const std::vector<std::string>& argv) const {
  return runProgram(onDisplay(argv));
}

void XServer::kill() {
  ::kill(server_->pid(), SIGKILL);
  server_->waitExit(5s);
  struct stat now {};
  if (socketInode_ != 0 && ::stat(socketFile_.c_str(), &now) == 0 && now.st_ino == socketInode_)
    std::filesystem::remove(socketFile_);
  socketInode_ = 0;
}

bool sameFileAs(pid_t process, const std::string& path) {
  struct stat here {};
  struct stat theirs {};
  const std::string seen = "/proc/" + std::to_string(process) + "/root" + path;
  if (::stat(path.c_str(), &here) != 0 || ::stat(seen.c_str(), &theirs) != 0) return false;
  return here.st_dev == theirs.st_dev && here.st_ino == theirs.st_ino;
}

std::vector<Monitor> monitors(const XServer& x) {
  std::vector<Monitor> found;
  std::istringstream lines(x.run({"xrandr", "--listmonitors"}).output);
  std::string line;
  while (std::getline(lines, line)) {
    // " 1: Pixel (Brindlet) 1178/94x2556/203+2048+0  DUMMY1"
    const auto colon = line.find(": ");
    const auto slash = line.find('/');
    if (colon == std::string::npos || slash == std::string::npos) continue;
    const auto sizeStart = line.rfind(' ', slash);
    Monitor m;
    m.name = line.substr(colon + 2, sizeStart - colon - 2);
    while (!m.name.empty() && (m.name[0] == '+' || m.name[0] == '*')) m.name.erase(0, 1);
    char output[64] = {};
    std::sscanf(line.c_str() + sizeStart, " %d/%dx%d/%d+%d+%d %63s", &m.width, &m.mmWidth,
                &m.height, &m.mmHeight, &m.x, &m.y, output);
    m.output = output;
    found.push_back(m);
  }
  return found;
}

std::optional<Monitor> monitorNamed(const XServer& x, const std::string& name) {
  for (const auto& m : monitors(x))
    if (m.name == name) return m;
  return std::nullopt;
}

}  // namespace brindlet::testsupport
