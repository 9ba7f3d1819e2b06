#pragma once

#include <string>
#include <string_view>

#include <boost/asio/awaitable.hpp>

#include "app/core/Permission.h"
#include "runtime/Error.h"

namespace brindlet::app {

// What the shell's models ask of the user interface and the desktop.

// The floating panel that tells the user which switch to turn on.
class SettingsGuiding {
 public:
  virtual ~SettingsGuiding() = default;
  // Replaces any panel on screen by one for the permission.
  virtual void show(Permission permission) = 0;
  // Safe when nothing is shown.
  virtual void dismiss() = 0;
};

// Brings the app's own window in front of whatever the user was in.
class AppActivating {
 public:
  virtual ~AppActivating() = default;
  virtual void activate() = 0;
};

// Opens a permission's pane in the desktop's settings app.
class SettingsOpening {
 public:
  virtual ~SettingsOpening() = default;
  virtual void open(std::string_view url) = 0;
};

// No settings app on this desktop holds either switch, so nothing is opened.
class NoSettingsToOpen final : public SettingsOpening {
 public:
  void open(std::string_view) override {}
};

// Registering or unregistering the login item failed; the text is the system's ("Permission
// denied: /home/u/.config/autostart").
class LoginItemError : public runtime::Error {
 public:
  explicit LoginItemError(std::string description);
  const std::string& description() const { return description_; }

 private:
  std::string description_;
};

// Whether the app starts when the user logs in.
class LoginItem {
 public:
  virtual ~LoginItem() = default;
  // Whether the desktop will start this app at login; false when that cannot be read.
  virtual boost::asio::awaitable<bool> isEnabled() = 0;
  // Throws LoginItemError.
  virtual boost::asio::awaitable<void> setEnabled(bool enabled) = 0;
};

}  // namespace brindlet::app
