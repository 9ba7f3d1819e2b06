#pragma once

#include <string_view>
#include <vector>

#include "runtime/Defaults.h"
#include "session/InputEvent.h"

namespace brindlet::session {

// The screen edge the Dock (the desktop's panel) sits on.
enum class DockEdge { bottom, left, right };

std::string_view edgeText(DockEdge edge);

// The user default "dockEdge": "bottom", "left" or "right"; anything else, or nothing, is the
// bottom edge.
DockEdge dockEdge(const runtime::Defaults& defaults);

// One pointer move of a Dock push: where the pointer is placed and the relative motion reported
// with it, in pixels.
struct PushStep {
  Point point;
  Point delta;
  friend bool operator==(const PushStep&, const PushStep&) = default;
};

// The pointer comes to the display's edge on the Dock's side in ten approach steps and then
// pushes against that edge sixty times. Distances are points, multiplied by the display's scale.
std::vector<PushStep> pushSteps(DockEdge edge, const DisplayRect& display);

}  // namespace brindlet::session
