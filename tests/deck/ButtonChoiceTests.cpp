#include "deck/ButtonChoice.h"

#include <gtest/gtest.h>

#include "deck/MemoryTree.h"
#include "deck/SystemWorkspace.h"
#include "desktop/FakeWindowSystem.h"
#include "runtime/MainLoop.h"
#include "runtime/Task.h"
#include "support/Loop.h"

namespace brindlet::deck::testing {
namespace {

using Labels = std::vector<std::string>;

TEST(ButtonChoice, WalkListsLabelsBelowPagesWithinBudgetAndDepth) {
  MemoryTree tree;
  auto both = with(node(Role::toggleButton, "Mute"),
                   [](Node& n) { n.description = "Turn Off Microphone"; });
  auto window = node(
      Role::frame, "Meet - standup",
      {node(Role::pushButton, "Leave call"), node(Role::other, "Not a button"),
       node(Role::documentWeb, "page", {node(Role::panel, "", {both})}), node(Role::checkBox, "")});
  std::vector<FoundButton> buttons;
  int budget = 8000;
  collectButtons(tree, window, 0, false, budget, buttons);
  std::vector<std::pair<std::string, bool>> got;
  for (const auto& b : buttons) got.emplace_back(b.label, b.inPage);
  EXPECT_EQ(got, (std::vector<std::pair<std::string, bool>>{
                     {"leave call", false}, {"turn off microphone", true}, {"mute", true}}));
  EXPECT_EQ(budget, 8000 - 7);

  // A chain 60 deep holds a button at every level: the walk stops below level 47, and a budget
  // of 10 looks at 9 elements.
  auto chain = node(Role::pushButton, "x");
  for (int i = 0; i < 60; ++i) chain = node(Role::pushButton, "x", {chain});
  for (const auto& [start, seen] : std::vector<std::pair<int, std::size_t>>{{8000, 48}, {10, 9}}) {
    buttons.clear();
    budget = start;
    collectButtons(tree, chain, 0, false, budget, buttons);
    EXPECT_EQ(buttons.size(), seen) << start;
  }
}

// A browser window whose page and tool bar both hold buttons, a dialog, and a second window of
// the same title that comes too late to count.
MemoryTree meetingTree() {
  MemoryTree tree;
  auto micOff = with(node(Role::toggleButton, "Microphone"),
                     [](Node& n) { n.description = "Turn off microphone"; });
  auto page = node(Role::documentWeb, "",
                   {node(Role::panel, "", {micOff}), node(Role::pushButton, "Leave call")});
  auto meet = node(Role::frame, "Meet - standup",
                   {node(Role::toolBar, "", {node(Role::pushButton, "Mute tab")}), page});
  auto zoom = node(Role::dialog, "Zoom",
                   {node(Role::pushButton, "Unmute"), node(Role::pushButton, "Mute audio"),
                    node(Role::pushButton, "Mute")});
  auto late = node(Role::frame, "Meet - standup", {node(Role::pushButton, "Late")});
  tree.apps.push_back(
      with(node(Role::application, "browser", {meet, zoom, late}), [](Node& n) { n.pid = 7; }));
  return tree;
}

// Page buttons first, then label order, then button order, by prefix and as the labels are given.
TEST(ButtonChoice, FindsByExactTitleWithOrWithoutOneRequest) {
  const struct {
    int pid;
    std::string title;
    Labels labels;
    std::optional<std::string> pressed;
  } rows[] = {
      {7, "Meet - standup", {"leave", "turn off"}, "Leave call"},
      {7, "Meet - standup", {"turn off", "leave"}, "Microphone"},
      {7, "Meet - standup", {"mute", "late"}, std::nullopt},
      {7, "meet - standup", {"leave"}, std::nullopt},
      {7, "Zoom", {"video", "unmute"}, "Unmute"},
      {7, "Zoom", {"mute"}, "Mute audio"},
      {7, "Zoom", {"Mute"}, std::nullopt},
      {8, "Zoom", {"unmute"}, std::nullopt},
  };
  for (const bool collection : {false, true}) {
    MemoryTree tree = meetingTree();
    tree.collection = collection;
    runtime::MainLoop loop;
    desktop::FakeWindowSystem windows;
    SystemWorkspace workspace(loop.context().get_executor(), windows, &tree);
    for (const auto& row : rows) {
      const auto found = brindlet::testing::runUntilDone(
          loop.context(), workspace.findButton(row.pid, row.title, row.labels));
      tree.pressed.clear();
      if (found) {
        EXPECT_TRUE(brindlet::testing::runUntilDone(loop.context(), workspace.press(*found)));
      }
      EXPECT_EQ(tree.pressed.empty() ? std::nullopt : std::optional(tree.pressed.front()),
                row.pressed)
          << row.title << " " << row.labels.front() << " collection " << collection;
    }
    EXPECT_EQ(tree.requests, static_cast<int>(std::size(rows)))
        << "every search asks the apps to publish first";
  }
}

}  // namespace
}  // namespace brindlet::deck::testing
