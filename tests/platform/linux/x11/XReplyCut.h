#pragma once

#include <string>

namespace brindlet::platform::testing {

// Cuts the X connection of the thread named `thread` just before its `step`th request that
// waits for the server's answer, counting from now: its socket is shut both ways, as a server
// that goes away leaves it, and Xlib finds the connection lost in that request.
void cutAtReply(const std::string& thread, int step);
// Whether the cut armed last has happened; the cut is disarmed.
bool cutHappened();

}  // namespace brindlet::platform::testing
