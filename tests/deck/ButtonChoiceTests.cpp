#include "deck/ButtonChoice.h"

#include <gtest/gtest.h>

#include "deck/MemoryTree.h"

namespace brindlet::deck::testing {
namespace {

using Labels = std::vector<std::string>;

TEST(ButtonChoice, PageFirstThenLabelOrderThenButtonOrder) {
  const auto a = node(Role::pushButton, "a");
  const auto b = node(Role::pushButton, "b");
  const auto c = node(Role::pushButton, "c");
  auto found = [](std::string label, const NodePtr& n, bool inPage) {
    return FoundButton{std::move(label), n, inPage};
  };
  struct Row {
    std::string name;
    std::vector<FoundButton> buttons;
    Labels labels;
    NodePtr expected;
  };
  const std::vector<Row> rows = {
      {"prefix of the second label only", {found("unmute", a, false)}, {"mute", "unmute"}, a},
      {"label order before button order",
       {found("leave call", a, false), found("turn off microphone", b, false)},
       {"turn off", "leave"},
       b},
      {"first button within a label",
       {found("mute mic", a, false), found("mute", b, false)},
       {"mute"},
       a},
      {"page buttons hide the rest",
       {found("mute", a, false), found("mute now", b, true)},
       {"mute"},
       b},
      {"outside the page nothing when the page has buttons",
       {found("mute", a, false), found("other", b, true)},
       {"mute"},
       nullptr},
      {"labels compare as given", {found("mute", c, false)}, {"Mute"}, nullptr},
      {"no buttons", {}, {"mute"}, nullptr},
  };
  for (const auto& row : rows) {
    const auto chosen = chooseButton(row.buttons, row.labels);
    EXPECT_EQ(chosen ? chosen->get() : nullptr, row.expected.get()) << row.name;
  }
}

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

}  // namespace
}  // namespace brindlet::deck::testing
