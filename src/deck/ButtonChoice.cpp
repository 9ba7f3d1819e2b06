#include "deck/ButtonChoice.h"

#include <algorithm>

#include "runtime/Unicode.h"

namespace brindlet::deck {
namespace {

using Role = AccessibilityTree::Role;

constexpr int deepest = 47;
constexpr int walkBudget = 8000;

bool isButtonLike(Role role) {
  return std::ranges::find(buttonRoles(), role) != buttonRoles().end();
}

// Each element once per label: its description, then its name.
void addLabels(AccessibilityTree& tree, const AccessibilityTree::Element& element, bool inPage,
               std::vector<FoundButton>& into) {
  for (const auto& text : {tree.description(element), tree.name(element)}) {
    auto label = runtime::lowercased(text);
    if (!label.empty()) into.push_back({std::move(label), element, inPage});
  }
}

// The buttons in web content when there are any, else all of the window's; as many elements as
// the walk may look at. Nothing when the app answers no such request.
std::optional<std::vector<FoundButton>> requestButtons(AccessibilityTree& tree,
                                                       const AccessibilityTree::Element& window) {
  auto pages = tree.descendants(window, {Role::documentWeb});
  if (!pages) return std::nullopt;
  std::vector<FoundButton> found;
  int budget = walkBudget;
  const auto add = [&](const std::vector<AccessibilityTree::Element>& elements, bool inPage) {
    for (const auto& element : elements) {
      if (--budget < 1) return;
      addLabels(tree, element, inPage, found);
    }
  };
  for (const auto& page : *pages) {
    if (auto buttons = tree.descendants(page, buttonRoles())) add(*buttons, true);
  }
  if (!found.empty()) return found;
  auto buttons = tree.descendants(window, buttonRoles());
  if (!buttons) return std::nullopt;
  add(*buttons, false);
  return found;
}

}  // namespace

const std::vector<Role>& buttonRoles() {
  static const std::vector<Role> roles{
      Role::pushButton, Role::toggleButton,  Role::checkBox,      Role::radioButton,
      Role::menuItem,   Role::checkMenuItem, Role::radioMenuItem, Role::pushButtonMenu};
  return roles;
}

void collectButtons(AccessibilityTree& tree, const AccessibilityTree::Element& element, int depth,
                    bool inPage, int& budget, std::vector<FoundButton>& into) {
  --budget;
  if (budget < 1 || depth > deepest) return;
  const auto role = tree.role(element);
  if (isButtonLike(role)) addLabels(tree, element, inPage, into);
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

std::optional<AccessibilityTree::Element> findButton(AccessibilityTree& tree, int pid,
                                                     std::string_view title,
                                                     const std::vector<std::string>& labels) {
  const auto app = tree.application(pid);
  if (!app) return std::nullopt;
  for (const auto& window : tree.windows(app)) {
    if (tree.name(window) != title) continue;
    auto buttons = requestButtons(tree, window);
    if (!buttons) {
      buttons.emplace();
      int budget = walkBudget;
      collectButtons(tree, window, 0, false, budget, *buttons);
    }
    return chooseButton(*buttons, labels);
  }
  return std::nullopt;
}

}  // namespace brindlet::deck
