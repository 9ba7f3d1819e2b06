#include "deck/ButtonChoice.h"

#include <algorithm>

#include "runtime/Unicode.h"

namespace brindlet::deck {
namespace {

using Role = AccessibilityTree::Role;

constexpr int deepest = 47;

bool isButtonLike(Role role) {
  switch (role) {
    case Role::pushButton:
    case Role::toggleButton:
    case Role::checkBox:
    case Role::radioButton:
    case Role::menuItem:
    case Role::checkMenuItem:
    case Role::radioMenuItem:
    case Role::pushButtonMenu:
      return true;
    default:
      return false;
  }
}

}  // namespace

void collectButtons(AccessibilityTree& tree, const AccessibilityTree::Element& element, int depth,
                    bool inPage, int& budget, std::vector<FoundButton>& into) {
  --budget;
  if (budget < 1 || depth > deepest) return;
  const auto role = tree.role(element);
  if (isButtonLike(role)) {
    for (const auto& text : {tree.description(element), tree.name(element)}) {
      auto label = runtime::lowercased(text);
      if (!label.empty()) into.push_back({std::move(label), element, inPage});
    }
  }
  const bool childrenInPage = inPage || role == Role::documentWeb;
  for (const auto& child : tree.children(element)) {
    collectButtons(tree, child, depth + 1, childrenInPage, budget, into);
  }
}

std::optional<AccessibilityTree::Element> chooseButton(const std::vector<FoundButton>& buttons,
                                                       const std::vector<std::string>& labels) {
  const bool pageOnly = std::ranges::any_of(buttons, &FoundButton::inPage);
  for (const auto& label : labels) {
    for (const auto& button : buttons) {
      if (pageOnly && !button.inPage) continue;
      if (button.label.starts_with(label)) return button.element;
    }
  }
  return std::nullopt;
}

}  // namespace brindlet::deck
