#pragma once

#include <functional>
#include <memory>
#include <string>

#include <boost/asio/awaitable.hpp>

#include "platform/linux/x11/X11Connection.h"

namespace brindlet::platform {

// Follows the owner of one X selection through XFixes: the manager selections that freedesktop
// defines (_NET_SYSTEM_TRAY_S0, _XSETTINGS_S0) tell whether a tray or a settings daemon runs on
// the screen. Works on a connection of its own.
class X11SelectionWatch {
 public:
  // The owner's window, 0 when nobody owns the selection. Called on the connection's worker:
  // hand it on, do no work there.
  using Changed = std::function<void(unsigned long owner)>;

  // Watches the selection `prefix` + the default screen's number on `display` (empty:
  // $DISPLAY). `changed` gets the current owner first, then each new one. Throws DesktopError
  // when the display cannot be opened or has no XFIXES.
  static boost::asio::awaitable<std::unique_ptr<X11SelectionWatch>> open(std::string display,
                                                                         std::string prefix,
                                                                         Changed changed);
  ~X11SelectionWatch();
  X11SelectionWatch(const X11SelectionWatch&) = delete;
  X11SelectionWatch& operator=(const X11SelectionWatch&) = delete;

  const std::string& selection() const { return selection_; }

 private:
  X11SelectionWatch(std::unique_ptr<X11Connection> connection, std::string selection)
      : connection_(std::move(connection)), selection_(std::move(selection)) {}

  std::unique_ptr<X11Connection> connection_;
  std::string selection_;
};

}  // namespace brindlet::platform
