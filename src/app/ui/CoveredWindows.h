#pragma once

// Whether X reports one of the app's windows fully covered by others. Qt tells when a window is
// minimised, unmapped or on another desktop, but not when other windows hide all of it; the X
// server does (VisibilityNotify) to a client that asks. Kit widgets in a covered window draw no
// frames until it shows again.

class QWidget;

namespace brindlet::app::ui {

// Follows the top-level `window` for as long as it lives; nothing where Qt does not run on X.
void followCovering(QWidget& window);

}  // namespace brindlet::app::ui
