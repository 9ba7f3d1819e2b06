#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "app/core/ShellRoles.h"

namespace brindlet::platform {

// Launch at login as the desktops have it: a desktop entry in the user's autostart folder,
// written atomically, that starts this binary. It counts as enabled only when the desktop will
// really start this binary from it: an entry that is hidden, switched off, or left behind by a
// build that has since moved reads as off, so that saving the choice writes a good one.
// The file is read and written on the blocking worker.
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
// The words of an Exec value whose string escapes are undone, split as the desktop splits them:
// blanks part words; outside quotes a backslash keeps the next character as it is; within
// double quotes only '"', '`', '$' and '\' are escaped, and a backslash before anything else
// stays; single quotes keep everything; a '#' that begins a word begins a comment. None when it
// is malformed (an open quote, a final backslash) or holds a field code other than "%%".
std::optional<std::vector<std::string>> execArguments(std::string_view exec);
// Whether an entry's text makes the desktop start the executable at login: GLib loads it (an
// Application whose TryExec and Exec programs it finds, the last of a key given twice counting)
// and the autostart rules do not skip it (Hidden, X-GNOME-Autostart-enabled). Exec may start the
// executable through env, with the variables env sets or unsets before it.
bool startsAtLogin(std::string_view entry, const std::filesystem::path& executable);

}  // namespace brindlet::platform
