// The tray menu, item by item, in each state of the session and the connector, and the Agents
// submenu against Claude Code's settings file in a temporary home.

#include "app/core/Menu.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include <gtest/gtest.h>

#include "app/core/AgentsMenu.h"
#include "app/core/Phones.h"
#include "app/core/TemporaryHome.h"
#include "app/core/Updater.h"
#include "runtime/Log.h"
#include "support/Loop.h"
#include "support/TempDir.h"

namespace brindlet::app {
namespace {

using Lines = std::vector<std::string>;
using Kind = MenuItem::Kind;

// One line per item, nested items indented: "[x]" marks a checked toggle or option, "(off)" a
// disabled item, "<symbol>" a label's symbol, "> " a submenu, "# " a section.
void render(const std::vector<MenuItem>& items, const std::string& indent, Lines& lines) {
  for (const auto& item : items) {
    std::string line = indent;
    switch (item.kind) {
      case Kind::divider:
        line += "---";
        break;
      case Kind::label:
        line += "<" + item.symbol + "> " + item.text;
        break;
      case Kind::section:
        line += "# " + item.text;
        break;
      case Kind::submenu:
      case Kind::picker:
        line += "> " + item.text;
        break;
      case Kind::toggle:
        line += std::string(item.checked ? "[x] " : "[ ] ") + item.text;
        break;
      case Kind::button:
        line += (item.checked ? "[x] " : "") + item.text;
        break;
      case Kind::text:
        line += "\"" + item.text + "\"";
        break;
    }
    if (!item.enabled) line += " (off)";
    if (!item.shortcut.empty()) line += " " + item.shortcut;
    lines.push_back(line);
    render(item.children, indent + "  ", lines);
  }
}

Lines rendered(const MenuState& state) {
  Lines lines;
  render(menuItems(state), "", lines);
  return lines;
}

const Lines tail{"---",
                 "> Agents",
                 "  Connect Claude Code",
                 "Set Up Brindlet…",
                 "Check for Updates… (off)",
                 "Quit Brindlet Ctrl+Q"};

Lines withTail(Lines head) {
  head.insert(head.end(), tail.begin(), tail.end());
  return head;
}

MenuState connected(transport::Route::Kind route) {
  MenuState state;
  state.client = MenuState::Client{"Ann's iPhone", route};
  state.nearby = {pairedPhone("Ann's iPhone", "A"), pairablePhone("Bo", "B")};
  state.connectorError = "Couldn't connect to Bo. Make sure Brindlet is open on it.";
  return state;
}

struct Case {
  const char* name;
  MenuState state;
  Lines lines;
};

void PrintTo(const Case& c, std::ostream* out) {
  *out << c.name;
}

Case cases[] = {
    {"nothing nearby", {}, withTail({"\"Brindlet\"", "\"No iPhone or iPad connected\""})},
    {"display unavailable, both error lines",
     [] {
       MenuState state;
       state.displayUnavailable = true;
       state.lastError = "Display attach failed";
       state.connectorError = "Couldn't reach Bo. Make sure Brindlet is open on it.";
       return state;
     }(),
     withTail({"\"Brindlet\"", "<exclamationmark.triangle> Display unavailable",
               "\"No iPhone or iPad connected\"", "\"Display attach failed\"",
               "\"Couldn't reach Bo. Make sure Brindlet is open on it.\""})},
    {"paired, pairable and unpairable phones",
     [] {
       MenuState state;
       state.nearby = {pairedPhone("Ann", "A"), pairablePhone("Bo", "B"), unpairablePhone("Cy"),
                       pairedPhone("Di", "D")};
       return state;
     }(),
     withTail({"\"Brindlet\"", "\"No iPhone or iPad connected\"", "# Nearby", "  Connect to Ann",
               "  Pair with Bo…", "  Connect to Di", "> Forget", "  Forget Ann", "  Forget Di"})},
    {"only unpairable phones: an empty section and no Forget",
     [] {
       MenuState state;
       state.nearby = {unpairablePhone("Cy")};
       return state;
     }(),
     withTail({"\"Brindlet\"", "\"No iPhone or iPad connected\"", "# Nearby"})},
    {"connected over USB", connected(transport::Route::Kind::usb),
     withTail({"\"Brindlet\"", "\"Connected to Ann's iPhone · USB\"", "[x] Open Windows on iPhone",
               "> Quality", "  Best", "  [x] Balanced", "  Fast"})},
    {"connected over Wi-Fi, needing Accessibility, with an error",
     [] {
       auto state = connected(transport::Route::Kind::wifi);
       state.needsAccessibility = true;
       state.lastError = "Stream failed";
       state.followWindows = false;
       state.quality = streaming::VideoQuality::fast;
       return state;
     }(),
     withTail({"\"Brindlet\"", "\"Connected to Ann's iPhone · Wi-Fi\"", "\"Stream failed\"",
               "\"Allow Accessibility so taps on your phone can move the cursor\"",
               "Open Accessibility Settings… (off)", "[ ] Open Windows on iPhone", "> Quality",
               "  Best", "  Balanced", "  [x] Fast"})},
    {"Claude Code connected, an agents error, updates possible",
     [] {
       MenuState state;
       state.claudeConnected = true;
       state.agentsError = "Couldn't update Claude Code's settings: x";
       state.canCheck = true;
       return state;
     }(),
     {"\"Brindlet\"", "\"No iPhone or iPad connected\"", "---", "> Agents",
      "  <checkmark> Claude Code Connected", "  Disconnect Claude Code",
      "  \"Couldn't update Claude Code's settings: x\"", "Set Up Brindlet…", "Check for Updates…",
      "Quit Brindlet Ctrl+Q"}},
};

class MenuTable : public ::testing::TestWithParam<Case> {};

TEST_P(MenuTable, Items) {
  EXPECT_EQ(rendered(GetParam().state), GetParam().lines);
}

INSTANTIATE_TEST_SUITE_P(Cases, MenuTable, ::testing::ValuesIn(cases));

TEST(Menu, ActionsCarryTheirPhoneAndValue) {
  MenuState state;
  const auto ann = pairedPhone("Ann", "A");
  const auto bo = pairablePhone("Bo", "B");
  state.nearby = {ann, bo};
  const auto items = menuItems(state);
  const auto& rows = items[2].children;
  EXPECT_EQ(rows[0].action, (MenuAction{MenuAction::Kind::connect, ann}));
  EXPECT_EQ(rows[1].action, (MenuAction{MenuAction::Kind::pair, bo}));
  EXPECT_EQ(items[3].children[0].action, (MenuAction{MenuAction::Kind::forget, ann}));

  const auto usb = menuItems(connected(transport::Route::Kind::usb));
  EXPECT_EQ(usb[2].action, (MenuAction{MenuAction::Kind::followWindows, {}, {}, false}));
  EXPECT_EQ(usb[3].children[2].action,
            (MenuAction{MenuAction::Kind::chooseQuality, {}, streaming::VideoQuality::fast}));
}

TEST(Menu, UpdaterCannotCheckAndSaysSo) {
  runtime::LogCapture log;
  Updater updater;
  updater.checkForUpdates();
  EXPECT_FALSE(updater.canCheck.get());
  EXPECT_EQ(log.messages("updates", runtime::LogLevel::info),
            Lines{"Updates come with the source tree or the package manager"});
}

TEST(AgentsMenu, InstallThenABrokenSettingsFile) {
  TemporaryHome home;
  boost::asio::io_context io;
  AgentsMenu menu;
  testing::runUntilDone(io, menu.refresh());
  EXPECT_FALSE(menu.claudeConnected.get());

  testing::runUntilDone(io, menu.apply(AgentsMenu::Change::install));
  EXPECT_TRUE(menu.claudeConnected.get());
  EXPECT_EQ(menu.error.get(), std::nullopt);
  MenuState state;
  state.claudeConnected = menu.claudeConnected.get();
  EXPECT_EQ(menuItems(state)[3].children[0].text, "Claude Code Connected");

  // Settings that are not an object: the change fails, and the mark shows the file as it is.
  std::ofstream(home.settings()) << "[]";
  testing::runUntilDone(io, menu.apply(AgentsMenu::Change::uninstall));
  ASSERT_TRUE(menu.error.get());
  EXPECT_EQ(
      menu.error.get()->rfind("Couldn't update Claude Code's settings: unreadableSettings(", 0), 0u)
      << *menu.error.get();
  EXPECT_FALSE(menu.claudeConnected.get());

  std::filesystem::remove(home.settings());
  testing::runUntilDone(io, menu.apply(AgentsMenu::Change::install));
  EXPECT_EQ(menu.error.get(), std::nullopt);
  EXPECT_TRUE(menu.claudeConnected.get());
}

}  // namespace
}  // namespace brindlet::app
