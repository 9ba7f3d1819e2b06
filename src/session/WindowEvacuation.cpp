#include "session/WindowEvacuation.h"

#include <algorithm>

#include "desktop/DesktopError.h"

namespace brindlet::session {
namespace {

using desktop::Rect;

bool isNormal(const desktop::WindowInfo& window) {
  // The first type is the one the window prefers; a window without one counts as normal.
  return window.types.empty() || window.types.front() == "normal";
}

long long overlap(const Rect& a, const Rect& b) {
  const long long width = std::min(a.x + a.width, b.x + b.width) - std::max(a.x, b.x);
  const long long height = std::min(a.y + a.height, b.y + b.height) - std::max(a.y, b.y);
  return width > 0 && height > 0 ? width * height : 0;
}

// `offset` from the target's start, kept inside it for a side of `size`.
int placed(int offset, int size, int start, int length) {
  return start + std::clamp(offset, 0, std::max(0, length - size));
}

}  // namespace

std::optional<Rect> refuge(const std::vector<desktop::Monitor>& remaining,
                           std::optional<desktop::RootPoint> pointer) {
  if (remaining.empty()) return std::nullopt;
  for (const auto& monitor : remaining)
    if (pointer && monitor.area.contains(pointer->x, pointer->y)) return monitor.area;
  for (const auto& monitor : remaining)
    if (monitor.primary) return monitor.area;
  return remaining.front().area;
}

std::vector<std::pair<desktop::WindowId, Rect>> evacuationMoves(
    const desktop::WindowSnapshot& snapshot, const Rect& gone, const Rect& target) {
  std::vector<std::pair<desktop::WindowId, Rect>> moves;
  for (const auto& window : snapshot.windows) {
    const Rect frame = window.frame();
    const long long area = static_cast<long long>(frame.width) * frame.height;
    if (!isNormal(window) || area <= 0 || overlap(frame, gone) * 2 <= area) continue;
    const int width = std::min(frame.width, target.width);
    const int height = std::min(frame.height, target.height);
    moves.emplace_back(
        window.id, Rect{placed(frame.x - gone.x, width, target.x, target.width),
                        placed(frame.y - gone.y, height, target.y, target.height), width, height});
  }
  return moves;
}

WindowEvacuator::WindowEvacuator(std::shared_ptr<desktop::WindowSystem> windows,
                                 std::shared_ptr<desktop::MonitorLayout> monitors)
    : windows_(std::move(windows)), monitors_(std::move(monitors)) {}

boost::asio::awaitable<void> WindowEvacuator::evacuate(std::uint32_t output) {
  co_await monitors_->refresh();
  const auto gone = monitors_->monitorOf(output);
  if (!gone) co_return;
  auto remaining = monitors_->all();
  std::erase_if(remaining, [&](const desktop::Monitor& m) {
    return std::find(m.outputs.begin(), m.outputs.end(), output) != m.outputs.end();
  });
  const auto pointer = co_await monitors_->pointer();
  const auto target = refuge(remaining, pointer);
  if (!target) co_return;
  std::size_t moved = 0;
  for (const auto& [window, frame] : evacuationMoves(windows_->snapshot(), *gone, *target)) {
    try {
      co_await windows_->moveResize(window, frame);
      ++moved;
    } catch (const desktop::DesktopError&) {
      // The window went meanwhile.
    }
  }
  if (moved) log_.info("Windows moved off the phone's display before it went: %zu", moved);
}

}  // namespace brindlet::session
