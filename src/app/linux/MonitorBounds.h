#pragma once

#include <string>

#include "session/HostSession.h"

namespace brindlet::app {

// The rectangle, in root pixels, of the RandR monitor that shows the output with the id; none
// when no monitor shows it. The scale is left at 1 for the caller to set. Asks the X server on
// each call over a connection of its own (`display` empty: $DISPLAY), one short round trip.
session::HostSession::DisplayBounds monitorBounds(std::string display);

}  // namespace brindlet::app
