#include "OwnWindows.h"

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <unistd.h>

#include <stdexcept>

namespace brindlet::deck::testing {

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

}  // namespace brindlet::deck::testing
