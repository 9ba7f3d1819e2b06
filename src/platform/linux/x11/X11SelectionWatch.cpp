#include "platform/linux/x11/X11SelectionWatch.h"

#include <X11/Xlib.h>
#include <X11/extensions/Xfixes.h>

#include <optional>
#include <utility>

#include "desktop/DesktopError.h"

namespace brindlet::platform {

namespace {

// What the worker keeps between events.
struct Follow {
  X11SelectionWatch::Changed changed;
  Atom selection = None;
  int notifyEvent = 0;
  std::optional<Window> reported;

  void report(Display* display) {
    const Window owner = XGetSelectionOwner(display, selection);
    if (reported == owner) return;
    reported = owner;
    changed(owner);
  }
};

}  // namespace

boost::asio::awaitable<std::unique_ptr<X11SelectionWatch>> X11SelectionWatch::open(
    std::string display, std::string prefix, Changed changed) {
  std::string threadName = "brindlet-x11-sel";
  auto connection = co_await X11Connection::open(std::move(display), std::move(threadName));
  X11Connection* raw = connection.get();
  auto follow = std::make_shared<Follow>();
  follow->changed = std::move(changed);
  auto watch = [raw, follow, prefix](Display* d) {
    int eventBase = 0, errorBase = 0;
    if (!XFixesQueryExtension(d, &eventBase, &errorBase))
      throw desktop::DesktopError::requestFailed("XFixesQueryExtension", 0);
    const std::string name = prefix + std::to_string(DefaultScreen(d));
    follow->selection = XInternAtom(d, name.c_str(), False);
    follow->notifyEvent = eventBase + XFixesSelectionNotify;
    raw->setEventHandler(
        [follow, d](XEvent& event) {
          if (event.type == follow->notifyEvent) follow->report(d);
        },
        nullptr);
    XFixesSelectSelectionInput(d, DefaultRootWindow(d), follow->selection,
                               XFixesSetSelectionOwnerNotifyMask |
                                   XFixesSelectionWindowDestroyNotifyMask |
                                   XFixesSelectionClientCloseNotifyMask);
    // Read after the events are asked for, so that no change falls between the two.
    follow->report(d);
    return name;
  };
  std::string selection = co_await connection->call(std::move(watch));
  co_return std::unique_ptr<X11SelectionWatch>(
      new X11SelectionWatch(std::move(connection), std::move(selection)));
}

X11SelectionWatch::~X11SelectionWatch() = default;

}  // namespace brindlet::platform
