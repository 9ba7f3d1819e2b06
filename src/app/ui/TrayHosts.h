#pragma once

// Who can show the tray icon: an XEmbed tray (the owner of the screen's _NET_SYSTEM_TRAY_S<n>
// selection) or a StatusNotifierItem host (org.kde.StatusNotifierWatcher on the session bus,
// with a host registered). Watched without asking Qt, whose own answer is taken once per process
// and kept.

#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace brindlet::runtime {
class MainLoop;
}

namespace brindlet::app::ui {

class QtThreadPoster;

namespace detail {
class NotifierBusWatch;
}

struct TrayHosts {
  unsigned long xembedTray = 0;  // the selection owner's window; 0 while none
  std::string notifierWatcher;   // the watcher's unique bus name; empty while none
  bool notifierHostRegistered = false;

  bool any() const {
    return xembedTray != 0 || (!notifierWatcher.empty() && notifierHostRegistered);
  }
  friend bool operator==(const TrayHosts&, const TrayHosts&) = default;
};

// Tells the Qt thread about the tray hosts: as they are, then at every change.
class TrayHostWatching {
 public:
  using Changed = std::function<void(const TrayHosts&)>;
  virtual ~TrayHostWatching() = default;
  // Called once, on the Qt thread; `changed` runs there.
  virtual void watch(Changed changed) = 0;
};

// The desktop's hosts: the selection through XFixes on a connection of the main loop, the bus
// name through Qt's D-Bus connection.
class SystemTrayHosts : public TrayHostWatching {
 public:
  // `display`: empty for $DISPLAY.
  SystemTrayHosts(runtime::MainLoop& loop, std::string display);
  ~SystemTrayHosts() override;
  void watch(Changed changed) override;

 private:
  struct Selection;
  void report();

  runtime::MainLoop& loop_;
  std::string display_;
  Changed changed_;
  TrayHosts hosts_;
  std::optional<TrayHosts> reported_;
  bool busRead_ = false;
  bool selectionRead_ = false;
  std::shared_ptr<Selection> selection_;
  std::unique_ptr<detail::NotifierBusWatch> bus_;
  std::unique_ptr<QtThreadPoster> poster_;  // last: its end stops what the others post
};

}  // namespace brindlet::app::ui
