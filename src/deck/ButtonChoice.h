#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "deck/AccessibilityTree.h"

namespace brindlet::deck {

// A button-like element of a window, by one of its labels (lower-cased).
struct FoundButton {
  std::string label;
  AccessibilityTree::Element element;
  bool inPage = false;  // below web content
};

// Button-like roles: push, toggle and menu buttons, check boxes, radio buttons, menu items.
const std::vector<AccessibilityTree::Role>& buttonRoles();

// The walk under a window: each button-like element once per label, its description first, then
// its name; in tree order. The budget counts the elements looked at across the whole walk, and
// nothing deeper than 47 levels below the window is looked at. Runs on the tree's side.
void collectButtons(AccessibilityTree& tree, const AccessibilityTree::Element& element, int depth,
                    bool inPage, int& budget, std::vector<FoundButton>& into);

// The button to press: where the page has buttons only those count; then the first label that
// starts a button's label wins, buttons in order within a label.
std::optional<AccessibilityTree::Element> chooseButton(const std::vector<FoundButton>& buttons,
                                                       const std::vector<std::string>& labels);

// The button to press in the app's first frame, dialog or window titled exactly `title`. Asks
// the app for its buttons in one request where it can answer one, else walks the window. Runs
// on the tree's side.
std::optional<AccessibilityTree::Element> findButton(AccessibilityTree& tree, int pid,
                                                     std::string_view title,
                                                     const std::vector<std::string>& labels);

}  // namespace brindlet::deck
