#include "desktop/WindowSystem.h"

#include <algorithm>

namespace brindlet::desktop {

std::optional<std::string> WindowInfo::appId() const {
  if (windowClass.empty() || !pid) return std::nullopt;
  return windowClass;
}

Rect WindowInfo::frame() const {
  return {geometry.x - extents.left, geometry.y - extents.top,
          geometry.width + extents.left + extents.right,
          geometry.height + extents.top + extents.bottom};
}

const WindowInfo* WindowSnapshot::find(WindowId id) const {
  auto found =
      std::find_if(windows.begin(), windows.end(), [&](const WindowInfo& w) { return w.id == id; });
  return found == windows.end() ? nullptr : &*found;
}

const WindowInfo* WindowSnapshot::activeWindow() const {
  return active ? find(*active) : nullptr;
}

}  // namespace brindlet::desktop
