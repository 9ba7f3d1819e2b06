#include "app/Desk.h"

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/extensions/XTest.h>
#include <poll.h>

#include <stdexcept>
#include <thread>

namespace brindlet::bench {

using namespace std::chrono_literals;

namespace {

// A window gone between a look and the next (a menu closing) is no reason to end the benchmark.
int ignoreErrors(Display*, XErrorEvent*) {
  return 0;
}

}  // namespace

Desk::Desk(const std::string& name) : display_(XOpenDisplay(name.c_str())) {
  if (!display_) throw std::runtime_error("no display " + name);
  XSetErrorHandler(ignoreErrors);
  // Qt echoes a ping to the clients that watch the root window's own structure (or redirect its
  // children's), not to those that watch its children only.
  XSelectInput(display_, DefaultRootWindow(display_), SubstructureNotifyMask | StructureNotifyMask);
  protocolsAtom_ = XInternAtom(display_, "WM_PROTOCOLS", False);
  pingAtom_ = XInternAtom(display_, "_NET_WM_PING", False);
  XSync(display_, True);
}

Desk::~Desk() {
  XCloseDisplay(display_);
}

void Desk::moveTo(std::pair<int, int> at) {
  XTestFakeMotionEvent(display_, -1, at.first, at.second, CurrentTime);
  XFlush(display_);
}

void Desk::click() {
  XTestFakeButtonEvent(display_, 1, True, CurrentTime);
  XTestFakeButtonEvent(display_, 1, False, CurrentTime);
  XFlush(display_);
}

void Desk::key(unsigned long keysym) {
  const unsigned code = XKeysymToKeycode(display_, keysym);
  XTestFakeKeyEvent(display_, code, True, CurrentTime);
  XTestFakeKeyEvent(display_, code, False, CurrentTime);
  XFlush(display_);
}

void Desk::forget() {
  XSync(display_, False);
  while (XPending(display_) > 0) {
    XEvent e;
    XNextEvent(display_, &e);
    if (e.type == MapNotify && e.xmap.override_redirect) popups_.insert(e.xmap.window);
  }
}

bool Desk::waitFor(int type, bool overrideRedirect, std::chrono::milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  while (Clock::now() < deadline) {
    while (XPending(display_) > 0) {
      XEvent e;
      XNextEvent(display_, &e);
      if (e.type == MapNotify && e.xmap.override_redirect) {
        popups_.insert(e.xmap.window);
        lastPopup_ = e.xmap.window;
      }
      if (e.type != type) continue;
      if (type == MapNotify && e.xmap.override_redirect != overrideRedirect) continue;
      if (type == UnmapNotify && popups_.contains(e.xunmap.window) != overrideRedirect) continue;
      return true;
    }
    pollfd fd{ConnectionNumber(display_), POLLIN, 0};
    poll(&fd, 1, 5);
  }
  return false;
}

std::optional<double> Desk::clickForMenu(std::pair<int, int> icon) {
  moveTo(icon);
  std::this_thread::sleep_for(50ms);
  forget();
  const auto start = Clock::now();
  click();
  if (!waitFor(MapNotify, true)) return std::nullopt;
  return millis(Clock::now() - start);
}

bool Desk::menuShown() {
  XWindowAttributes attributes{};
  return lastPopup_ != 0 && XGetWindowAttributes(display_, lastPopup_, &attributes) != 0 &&
         attributes.map_state == IsViewable;
}

std::optional<double> Desk::ping(Window window, std::chrono::milliseconds timeout) {
  const Atom protocols = protocolsAtom_, pingAtom = pingAtom_;
  const Window root = DefaultRootWindow(display_);
  // The ping's number stands where a window manager puts its timestamp, so that a late echo of
  // an earlier ping is told apart.
  const long number = long(++pings_);
  XEvent event{};
  event.xclient.type = ClientMessage;
  event.xclient.window = window;
  event.xclient.message_type = protocols;
  event.xclient.format = 32;
  event.xclient.data.l[0] = long(pingAtom);
  event.xclient.data.l[1] = number;
  event.xclient.data.l[2] = long(window);
  const auto start = Clock::now();
  XSendEvent(display_, window, False, NoEventMask, &event);
  XFlush(display_);
  const auto deadline = start + timeout;
  while (Clock::now() < deadline) {
    while (XPending(display_) > 0) {
      XEvent e;
      XNextEvent(display_, &e);
      if (e.type == MapNotify && e.xmap.override_redirect) popups_.insert(e.xmap.window);
      if (e.type == ClientMessage && e.xclient.window == root &&
          Atom(e.xclient.data.l[0]) == pingAtom && e.xclient.data.l[1] == number)
        return millis(Clock::now() - start);
    }
    pollfd fd{ConnectionNumber(display_), POLLIN, 0};
    poll(&fd, 1, 10);
  }
  return std::nullopt;
}

}  // namespace brindlet::bench
