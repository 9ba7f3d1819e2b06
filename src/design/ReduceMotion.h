#pragma once

namespace brindlet::design {

// Whether the desktop asks for less motion: GNOME's "enable-animations" switched off. False where
// the GNOME interface settings are not installed.
bool systemReducesMotion();

}  // namespace brindlet::design
