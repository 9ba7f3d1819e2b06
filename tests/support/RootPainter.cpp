#include "support/RootPainter.h"

#include <X11/Xlib.h>

#include <stdexcept>

namespace brindlet::testsupport {

struct RootPainter::Connection {
  Display* d = nullptr;
  GC gc = nullptr;
};

RootPainter::RootPainter(const std::string& display) : connection_(std::make_unique<Connection>()) {
  connection_->d = XOpenDisplay(display.c_str());
  if (!connection_->d) throw std::runtime_error("cannot open " + display);
  connection_->gc = XCreateGC(connection_->d, DefaultRootWindow(connection_->d), 0, nullptr);
}

RootPainter::~RootPainter() {
  XFreeGC(connection_->d, connection_->gc);
  XCloseDisplay(connection_->d);
}

void RootPainter::fill(const Monitor& m, unsigned long colour) {
  Display* d = connection_->d;
  XSetForeground(d, connection_->gc, colour);
  XFillRectangle(d, DefaultRootWindow(d), connection_->gc, m.x, m.y, unsigned(m.width),
                 unsigned(m.height));
  XSync(d, False);
}

void RootPainter::burst(const Monitor& m, int count) {
  constexpr int kSide = 8;
  Display* d = connection_->d;
  for (int i = 0; i < count; ++i) {
    XSetForeground(d, connection_->gc, unsigned(i) * 2654435761u & 0xFFFFFF);
    XFillRectangle(d, DefaultRootWindow(d), connection_->gc, m.x + (i * kSide) % (m.width - kSide),
                   m.y + (i / 97 * kSide) % (m.height - kSide), kSide, kSide);
  }
  XSync(d, False);
}

}  // namespace brindlet::testsupport
