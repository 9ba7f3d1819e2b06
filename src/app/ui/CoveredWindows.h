#pragma once

// Whether the user can see one of the app's windows. Qt tells when a window is minimised,
// unmapped or on another desktop, but not when other windows hide all of it; the X server does
// (VisibilityNotify) to a client that asks. Kit widgets in a covered window draw no frames until
// it shows again. Under a compositing manager every window counts as unobscured, so a window's
// moving backdrop also stands still while the user works elsewhere.

#include <chrono>

class QWidget;

namespace brindlet::app::ui {

// Follows the top-level `window` for as long as it lives; nothing where Qt does not run on X.
void followCovering(QWidget& window);

inline constexpr std::chrono::milliseconds kStillAfterIdle{5000};

// Holds the scenic backdrops in the top-level `window` still while it is not the active window,
// and once nobody has moved the pointer over it or typed into it for `idle`; the next input
// moves them again. For as long as the window lives.
void stillWhenUnattended(QWidget& window, std::chrono::milliseconds idle = kStillAfterIdle);

}  // namespace brindlet::app::ui
