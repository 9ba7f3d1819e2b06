#pragma once

#include <memory>
#include <optional>
#include <string>
#include <utility>

#include "support/ChildProcess.h"
#include "support/XServer.h"

namespace brindlet::testsupport {

// trayer, an XEmbed system tray, as a panel at the top right of the server's screen.
std::unique_ptr<ChildProcess> startTrayer(const XServer& server);

// Where the icon whose window has the class `windowClass` (as xwininfo shows it:
// "(\"app\" \"App\")") stands when it is docked in trayer's panel: its middle, in screen
// pixels. Nothing while it is not docked, or not yet shown there.
std::optional<std::pair<int, int>> dockedIcon(const XServer& server,
                                              const std::string& windowClass);

}  // namespace brindlet::testsupport
