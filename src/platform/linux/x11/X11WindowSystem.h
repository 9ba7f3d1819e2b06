#pragma once

#include <memory>
#include <string>

#include "desktop/WindowSystem.h"
#include "platform/linux/x11/X11Connection.h"

namespace brindlet::platform {

// The managed windows as the window manager publishes them (EWMH), kept from property and
// configure events on the connection's worker and published to the main loop, where the
// snapshot is read without asking the display. Without a window manager, windows are moved
// and raised directly.
class X11WindowSystem : public desktop::WindowSystem {
 public:
  // Opens the display and reads the first snapshot; throws DesktopError.
  static boost::asio::awaitable<std::unique_ptr<X11WindowSystem>> open(std::string display);
  ~X11WindowSystem() override;

  desktop::WindowSnapshot snapshot() const override { return published_->get(); }
  Subscription subscribe(std::function<void(const desktop::WindowSnapshot&)> callback) override {
    return published_->subscribe(std::move(callback));
  }
  boost::asio::awaitable<void> activate(desktop::WindowId window) override;
  boost::asio::awaitable<void> raise(desktop::WindowId window) override;
  boost::asio::awaitable<void> moveResize(desktop::WindowId window, desktop::Rect frame) override;

 private:
  struct Tracker;
  X11WindowSystem() = default;

  std::shared_ptr<runtime::Observable<desktop::WindowSnapshot>> published_ =
      std::make_shared<runtime::Observable<desktop::WindowSnapshot>>();
  std::unique_ptr<X11Connection> connection_;
  std::unique_ptr<Tracker> tracker_;
};

}  // namespace brindlet::platform
