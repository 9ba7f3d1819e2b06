#include "deck/AccessibilityTree.h"

namespace brindlet::deck {

AccessibilityTree::Element AccessibilityTree::application(int pid) {
  for (auto& app : applications()) {
    if (processId(app) == pid) return app;
  }
  return {};
}

std::vector<AccessibilityTree::Element> AccessibilityTree::windows(const Element& app) {
  auto found = children(app);
  std::erase_if(found, [&](const Element& child) {
    const auto kind = role(child);
    return kind != Role::frame && kind != Role::window && kind != Role::dialog;
  });
  return found;
}

}  // namespace brindlet::deck
