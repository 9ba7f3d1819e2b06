#pragma once

#include "desktop/WindowSystem.h"

namespace brindlet::session {

// Brings a window that opens in answer to the phone's input onto the phone's display.
class WindowFollowing {
 public:
  virtual ~WindowFollowing() = default;

  // The user's choice, kept in the user defaults under "openWindowsOnPhone" (absent: on).
  virtual bool isEnabled() const = 0;
  virtual void setEnabled(bool enabled) = 0;
  // Called after input on the phone's display, with that display's area in root pixels: for a
  // short while a newly focused window elsewhere is moved onto it.
  virtual void arm(desktop::Rect target) = 0;
};

}  // namespace brindlet::session
