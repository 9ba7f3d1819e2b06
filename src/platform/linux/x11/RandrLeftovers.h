#pragma once

#include <X11/Xlib.h>
#include <X11/extensions/Xrandr.h>

#include <chrono>
#include <set>
#include <string>
#include <string_view>

namespace brindlet::platform {

// What an earlier run of ours left on the X server, found by the names we give: a RandR monitor
// "<phone> (Brindlet)", a mode "<phone> (Brindlet) <w>x<h> <output>". A run killed before it
// could switch its display off leaves the output lit, an area no one sees where the pointer and
// windows get lost, and its monitor's name taken. Everything else is never touched.

// The name of the mode a display of `displayName` gets on `output`.
std::string randrModeName(const std::string& displayName, unsigned width, unsigned height,
                          RROutput output);
bool isOurModeName(std::string_view name);

// Deletes our monitors, switches off outputs lit with our modes, removes those modes from
// every output and destroys them, and shrinks the screen to what stays lit; an info line for
// each. Modes and monitors this run holds (`keepModes`, `keepMonitors`) stay. On the backend's
// worker.
void reclaimLeftovers(Display* d, const std::set<RRMode>& keepModes,
                      const std::set<Atom>& keepMonitors);

// The same for an exit that cannot wait for the display manager, from any thread: on `display`
// (empty: $DISPLAY), through a connection of its own on a thread that is left behind when the
// server has not finished within `limit`. Whether it finished in time.
bool switchOffOurOutputs(const std::string& display, std::chrono::milliseconds limit);

}  // namespace brindlet::platform
