#pragma once

#include <memory>
#include <optional>

#include <boost/asio/any_io_executor.hpp>

#include "app/core/Permission.h"
#include "app/core/ShellRoles.h"
#include "desktop/WindowSystem.h"
#include "runtime/Clock.h"
#include "runtime/Task.h"

namespace brindlet::app {

// The floating panel itself, drawn by the user interface. Positions are in root pixels.
class GuidePanel {
 public:
  virtual ~GuidePanel() = default;
  // Makes a new panel for the permission, not yet on screen, replacing none.
  virtual void create(Permission permission) = 0;
  // Moves the panel's top-left corner there, and puts it on screen if it is not.
  virtual void moveTo(int x, int y) = 0;
  // Puts it on screen where it stands, fading in.
  virtual void orderFront() = 0;
  // Takes it off screen; a later moveTo brings it back.
  virtual void orderOut() = 0;
  // Fades it out and lets it go.
  virtual void fadeOut() = 0;
};

// The settings windows of the desktops that have one (GNOME's, KDE's): normal, not minimised,
// decorations counted; the largest, the earlier on a tie. None when no such window is shown.
std::optional<desktop::Rect> settingsWindowFrame(const desktop::WindowSnapshot& snapshot);

struct PanelOrigin {
  int x = 0;
  int y = 0;
  friend bool operator==(const PanelOrigin&, const PanelOrigin&) = default;
};
// Centred under the frame with a 12-point gap; lengths in points times the display's scale.
// Not kept on screen: a window at the bottom edge pushes the panel below it.
PanelOrigin guideOrigin(desktop::Rect frame, double scale);

// Shows the panel under the desktop's settings window and follows that window five times a
// second until dismissed; while no settings window is on screen the panel is off. Main loop
// only; the follow task holds the guide weakly.
class SettingsGuide : public SettingsGuiding, public std::enable_shared_from_this<SettingsGuide> {
 public:
  static constexpr double panelWidth = 400;  // points
  static constexpr runtime::Duration followPeriod = std::chrono::milliseconds(200);

  static std::shared_ptr<SettingsGuide> make(std::shared_ptr<desktop::WindowSystem> windows,
                                             std::shared_ptr<GuidePanel> panel,
                                             std::shared_ptr<runtime::Clock> clock,
                                             boost::asio::any_io_executor executor, double scale);
  ~SettingsGuide() override;

  void show(Permission permission) override;
  void dismiss() override;
  // Puts the panel under the settings window, or off screen while there is none.
  void place();
  bool isFollowing() const { return static_cast<bool>(follow_); }

 private:
  SettingsGuide() = default;

  std::shared_ptr<desktop::WindowSystem> windows_;
  std::shared_ptr<GuidePanel> panel_;
  std::shared_ptr<runtime::Clock> clock_;
  boost::asio::any_io_executor executor_;
  double scale_ = 1;
  bool shown_ = false;  // a panel exists
  runtime::TaskHandle follow_;
};

}  // namespace brindlet::app
