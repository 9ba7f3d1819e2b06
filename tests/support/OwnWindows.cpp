#include "support/OwnWindows.h"

#include "runtime/Task.h"
#include "support/Loop.h"

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <stdexcept>
#include <thread>

namespace brindlet::testsupport {

struct OwnWindows::Connection {
  Display* display = nullptr;
};

OwnWindows::OwnWindows(const std::string& display, const std::string& windowClass,
                       const std::vector<std::string>& titles)
    : connection_(std::make_unique<Connection>()) {
  Display* d = connection_->display = XOpenDisplay(display.c_str());
  if (!d) throw std::runtime_error("cannot open " + display);
  std::string instance = "own";
  for (const auto& title : titles) {
    Window w = XCreateSimpleWindow(d, DefaultRootWindow(d), 0, 0, 200, 100, 0, 0, 0);
    XClassHint hint{instance.data(), const_cast<char*>(windowClass.c_str())};
    XSetClassHint(d, w, &hint);
    XStoreName(d, w, title.c_str());
    long pid = ::getpid();
    XChangeProperty(d, w, XInternAtom(d, "_NET_WM_PID", False), XA_CARDINAL, 32, PropModeReplace,
                    reinterpret_cast<unsigned char*>(&pid), 1);
    XMapWindow(d, w);
    ids.push_back(w);
  }
  XFlush(d);
}

OwnWindows::~OwnWindows() {
  XCloseDisplay(connection_->display);
}

void startWindowManager(XServer& server) {
  using namespace std::chrono_literals;
  server.startWindowManager();
  const auto deadline = std::chrono::steady_clock::now() + 20s;
  while (std::chrono::steady_clock::now() < deadline) {
    auto probe = std::make_unique<OwnWindows>(server.display(), "BrindletProbe",
                                              std::vector<std::string>{"probe"});
    char id[32];
    std::snprintf(id, sizeof id, "0x%lx", static_cast<unsigned long>(probe->ids.front()));
    const auto managed = [&] {
      return server.run({"xprop", "-root", "_NET_CLIENT_LIST"}).output.find(id) !=
             std::string::npos;
    };
    for (int i = 0; i < 20 && !managed(); ++i) std::this_thread::sleep_for(100ms);
    if (!managed()) continue;
    // Windows that go while a window system reads them fail its first read.
    probe.reset();
    while (managed() && std::chrono::steady_clock::now() < deadline)
      std::this_thread::sleep_for(20ms);
    return;
  }
  throw std::runtime_error("openbox manages no window");
}

bool keysReach(platform::X11EventPoster& poster, const std::function<bool()>& reached) {
  using namespace std::chrono_literals;
  constexpr std::uint16_t kF13 = 0x69;
  // The poster's thread may still be leaving its post to this loop when the wait has resumed:
  // the loop outlives every call.
  static boost::asio::io_context io;
  const auto deadline = std::chrono::steady_clock::now() + 10s;
  while (!reached() && std::chrono::steady_clock::now() < deadline) {
    poster.post({desktop::KeyEvent{kF13, true, {}}, desktop::KeyEvent{kF13, false, {}}});
    brindlet::testing::runUntilDone(io, poster.flushed());
    for (int i = 0; i < 10 && !reached(); ++i) std::this_thread::sleep_for(50ms);
  }
  return reached();
}

bool anyKeyDown(const std::string& display) {
  Display* d = XOpenDisplay(display.c_str());
  if (!d) throw std::runtime_error("cannot open " + display);
  char keys[32] = {};
  XQueryKeymap(d, keys);
  XCloseDisplay(d);
  for (const char bits : keys)
    if (bits != 0) return true;
  return false;
}

}  // namespace brindlet::testsupport
