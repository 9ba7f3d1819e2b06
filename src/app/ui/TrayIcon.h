#pragma once

// The tray icon: made only once a tray host runs and made anew whenever the host changes, since
// Qt follows neither a tray that starts late nor one that restarts. A left click opens the same
// menu as the right click.

#include <QIcon>
#include <QImage>

#include <functional>
#include <memory>

#include "app/ui/TrayHosts.h"

class QSystemTrayIcon;

namespace brindlet::app::ui {

class TrayMenu;

class TrayIcon {
 public:
  static constexpr const char* kSymbol = "rectangle.on.rectangle";
  // The sizes panels ask for; the installed icon theme holds the same.
  static constexpr int sides[] = {16, 22, 24, 32, 48, 64};

  // The kit's symbol drawn light with a dark edge, so that it reads on dark and light panels.
  static QImage picture(int side);
  static QIcon icon();

  // Starts watching `hosts` at once; both outlive the tray icon.
  TrayIcon(TrayHostWatching& hosts, TrayMenu& menu);
  ~TrayIcon();
  TrayIcon(const TrayIcon&) = delete;
  TrayIcon& operator=(const TrayIcon&) = delete;

  // The icon shown now, or nothing while no host runs.
  QSystemTrayIcon* shown() const { return icon_.get(); }
  int iconsMade() const { return made_; }
  // Runs after each new icon is shown (harnesses wait for it).
  void setOnIconMade(std::function<void()> made) { onIconMade_ = std::move(made); }

 private:
  void hostsChanged(const TrayHosts& hosts);

  TrayMenu& menu_;
  std::unique_ptr<QSystemTrayIcon> icon_;
  int made_ = 0;
  bool toldNone_ = false;
  std::function<void()> onIconMade_;
};

}  // namespace brindlet::app::ui
