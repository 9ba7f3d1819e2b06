#pragma once

#include <filesystem>
#include <string>
#include <string_view>

#include "app/core/ShellRoles.h"

namespace brindlet::platform {

// Launch at login as the desktops have it: a desktop entry in the user's autostart folder,
// written atomically, that starts this binary. It counts as enabled only when the desktop will
// really start this binary from it: an entry that GLib does not load, that the autostart rules
// skip, or that starts something else (a build that has since moved) reads as off, so that
// saving the choice writes a good one. The file is read and written on the blocking worker.
class XdgAutostartItem : public app::LoginItem {
 public:
  // `$XDG_CONFIG_HOME/autostart/brindlet.desktop` starting the running binary.
  XdgAutostartItem();
  XdgAutostartItem(std::filesystem::path entry, std::filesystem::path executable);

  boost::asio::awaitable<bool> isEnabled() override;
  boost::asio::awaitable<void> setEnabled(bool enabled) override;

  const std::filesystem::path& entry() const { return entry_; }

 private:
  std::filesystem::path entry_;
  std::filesystem::path executable_;
};

// The entry's text for the executable.
std::string autostartEntry(const std::filesystem::path& executable);
// The path as one argument of an Exec value, quoted so that blanks, quotes, "\", "$", "`" and
// "%" reach the program as they are; escaped for the entry file as well.
std::string execArgument(std::string_view path);
// Whether an entry's text makes the desktop start the executable at login: GLib loads it (an
// Application whose TryExec and Exec programs it finds), the autostart rules keep it (not Hidden,
// not X-GNOME-Autostart-enabled=false, shown on XDG_CURRENT_DESKTOP as it is now), GLib can enter
// its Path folder, and the command GLib launches from it runs the executable: found on PATH as it
// is now, perhaps through env, nice, nohup, ionice, setsid or a shell's -c script as they run
// theirs.
bool startsAtLogin(std::string_view entry, const std::filesystem::path& executable);

}  // namespace brindlet::platform
