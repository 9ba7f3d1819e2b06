#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

#include <boost/asio/awaitable.hpp>

#include "desktop/MonitorLayout.h"
#include "desktop/WindowSystem.h"
#include "runtime/Log.h"

namespace brindlet::session {

// Windows left on a display that goes would sit where no screen shows them, out of the user's
// reach: before the display goes, they move onto a monitor that stays.

// Where the windows go: the remaining monitor under the pointer; with the pointer on the going
// display or nowhere, the primary monitor, else the first. None without a remaining monitor.
std::optional<desktop::Rect> refuge(const std::vector<desktop::Monitor>& remaining,
                                    std::optional<desktop::RootPoint> pointer);

// The moves that take every normal window lying mostly on `gone` (more than half its frame)
// onto `target`: at the same place relative to the monitor's corner, pushed inside it, its size
// kept where it fits and cut to the monitor where it does not.
std::vector<std::pair<desktop::WindowId, desktop::Rect>> evacuationMoves(
    const desktop::WindowSnapshot& snapshot, const desktop::Rect& gone,
    const desktop::Rect& target);

// Does the moving for one output's display with the window system's own move. Main loop only.
class WindowEvacuator {
 public:
  WindowEvacuator(std::shared_ptr<desktop::WindowSystem> windows,
                  std::shared_ptr<desktop::MonitorLayout> monitors);
  // Never fails: a window that goes meanwhile stays unmoved.
  boost::asio::awaitable<void> evacuate(std::uint32_t output);

 private:
  std::shared_ptr<desktop::WindowSystem> windows_;
  std::shared_ptr<desktop::MonitorLayout> monitors_;
  const runtime::Logger& log_ = runtime::Logger::of("windows");
};

}  // namespace brindlet::session
