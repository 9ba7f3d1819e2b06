#pragma once

// An X client that watches windows come and go on the root window, clicks and types through
// XTest, and pings windows the way a window manager does; for the benchmarks that measure the
// app's windows as an X client sees them. One connection, used from one thread.

#include <chrono>
#include <optional>
#include <set>
#include <string>
#include <utility>

typedef struct _XDisplay Display;
typedef unsigned long XID;

namespace brindlet::bench {

class Desk {
 public:
  using Window = XID;
  using Clock = std::chrono::steady_clock;

  explicit Desk(const std::string& display);
  ~Desk();
  Desk(const Desk&) = delete;
  Desk& operator=(const Desk&) = delete;

  void moveTo(std::pair<int, int> at);
  void click();
  void key(unsigned long keysym);
  // Drops the events seen so far.
  void forget();
  // Waits for a window of the kind (a menu is override-redirect, a managed window's frame is
  // not) to be mapped (MapNotify), or unmapped (UnmapNotify); whether it came in time.
  bool waitFor(int type, bool overrideRedirect,
               std::chrono::milliseconds timeout = std::chrono::seconds(3));
  // Clicks at `icon` (the pointer comes to rest there first, as a hand's would) and waits for a
  // menu to be mapped: the milliseconds from the click, or nothing when none came.
  std::optional<double> clickForMenu(std::pair<int, int> icon);
  // Whether the override-redirect window mapped last is still mapped.
  bool menuShown();

  // Sends _NET_WM_PING to a client's top-level window and waits for the window to echo it to the
  // root window: the round trip in milliseconds, or nothing when no echo came in time.
  std::optional<double> ping(Window window,
                             std::chrono::milliseconds timeout = std::chrono::seconds(1));

 private:
  Display* display_;
  std::set<Window> popups_;  // the override-redirect windows seen mapped
  Window lastPopup_ = 0;
  unsigned long pings_ = 0;
  unsigned long protocolsAtom_ = 0, pingAtom_ = 0;
};

// The milliseconds in a span of the steady clock.
inline double millis(Desk::Clock::duration d) {
  return std::chrono::duration<double, std::milli>(d).count();
}

}  // namespace brindlet::bench
