#include <gtest/gtest.h>

#include <QActionGroup>
#include <QSystemTrayIcon>
#include <QTest>

#include "app/ui/ManualTrayHosts.h"
#include "app/ui/TrayIcon.h"
#include "app/ui/TrayMenu.h"
#include "runtime/Log.h"
#include "support/QtHarness.h"

namespace brindlet::app::ui {
namespace {

using Kind = MenuItem::Kind;

MenuItem item(Kind kind, std::string text) {
  MenuItem made;
  made.kind = kind;
  made.text = std::move(text);
  return made;
}

TEST(TrayMenu, IsBuiltOnEachOpeningAndKeptCurrentWhileOpen) {
  int refreshed = 0;
  TrayMenu menu([](const MenuAction&) {}, [&] { ++refreshed; });
  menu.setItems({item(Kind::text, "No iPhone or iPad connected")});
  EXPECT_TRUE(menu.actions().isEmpty());  // nothing is built while closed
  menu.popup({10, 10});
  ASSERT_TRUE(testsupport::processEventsUntil([&] { return menu.isVisible(); }));
  EXPECT_EQ(refreshed, 1);
  ASSERT_EQ(menu.actions().size(), 1);
  menu.setItems({item(Kind::text, "Connected to Ada's iPhone · USB"), item(Kind::divider, "")});
  ASSERT_EQ(menu.actions().size(), 2);
  EXPECT_EQ(menu.actions()[0]->text(), QStringLiteral("Connected to Ada's iPhone · USB"));
  menu.hide();
}

// The shortcut an item shows works while the menu is open, as choosing the item does.
TEST(TrayMenu, TheShortcutAnItemShowsChoosesItWhileTheMenuIsOpen) {
  const struct {
    const char* name;
    QKeyCombination key;
    std::vector<MenuAction::Kind> chosen;
    bool open;
    bool inSubmenu = false;  // the key is pressed with the submenu open
  } rows[] = {
      {"the item's key", Qt::CTRL | Qt::Key_Q, {MenuAction::Kind::quit}, false},
      {"a disabled item's key", Qt::CTRL | Qt::Key_U, {}, true},
      {"a key no item shows", Qt::CTRL | Qt::Key_W, {}, true},
      {"the item's key in the submenu",
       Qt::CTRL | Qt::Key_Q,
       {MenuAction::Kind::quit},
       false,
       true},
      {"a key no item shows in the submenu", Qt::CTRL | Qt::Key_W, {}, true, true},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    std::vector<MenuAction::Kind> chosen;
    TrayMenu menu([&](const MenuAction& action) { chosen.push_back(action.kind); });
    MenuItem updates = item(Kind::button, "Check for Updates…");
    updates.action = MenuAction(MenuAction::Kind::checkForUpdates);
    updates.enabled = false;
    updates.shortcut = "Ctrl+U";
    MenuItem quit = item(Kind::button, "Quit Brindlet");
    quit.action = MenuAction(MenuAction::Kind::quit);
    quit.shortcut = "Ctrl+Q";
    MenuItem agents = item(Kind::submenu, "Agents");
    agents.children = {item(Kind::button, "Connect Claude Code")};
    menu.setItems({item(Kind::text, "No iPhone or iPad connected"), agents, updates, quit});
    menu.popup({10, 10});
    ASSERT_TRUE(testsupport::processEventsUntil([&] { return menu.isVisible(); }));
    QWidget* pressed = &menu;
    if (row.inSubmenu) {
      QMenu* sub = menu.actions()[1]->menu();
      menu.setActiveAction(menu.actions()[1]);
      QTest::keyClick(&menu, Qt::Key_Right);
      ASSERT_TRUE(testsupport::processEventsUntil([&] { return sub->isVisible(); }));
      pressed = sub;
    }
    QTest::keyClick(pressed, row.key.key(), row.key.keyboardModifiers());
    if (row.chosen.empty()) {
      testsupport::processEventsFor(std::chrono::milliseconds(100));
    } else {
      testsupport::processEventsUntil([&] { return !chosen.empty(); });
    }
    EXPECT_EQ(chosen, row.chosen);
    EXPECT_EQ(menu.isVisible(), row.open);
    menu.hide();
  }
}

TEST(TrayIcon, IsMadeOnlyWithAHostAndAnewAtEveryChange) {
  runtime::LogCapture capture;
  ManualTrayHosts hosts;
  TrayMenu menu([](const MenuAction&) {});
  TrayIcon tray(hosts, menu);
  const std::string none = "No system tray: the menu shows once a tray host runs";
  EXPECT_EQ(tray.shown(), nullptr);
  EXPECT_EQ(capture.messages("app", runtime::LogLevel::error), std::vector<std::string>{none});

  struct Step {
    TrayHosts hosts;
    int made;
    int told;
  };
  auto hostsOf = [](unsigned long tray, std::string watcher, bool registered) {
    return TrayHosts{tray, std::move(watcher), registered};
  };
  const Step steps[] = {
      {hostsOf(0x400001, "", false), 1, 1},
      {hostsOf(0x600001, "", false), 2, 1},  // the tray restarted
      {hostsOf(0, "", false), 2, 2},         // gone: told again, once
      {hostsOf(0, ":1.7", false), 2, 2},     // a watcher without a host shows nothing
      {hostsOf(0, ":1.7", true), 3, 2},
  };
  for (const Step& step : steps) {
    hosts.set(step.hosts);
    EXPECT_EQ(tray.iconsMade(), step.made);
    EXPECT_EQ(tray.shown() != nullptr, step.hosts.any());
    EXPECT_EQ(capture.messages("app", runtime::LogLevel::error).size(), std::size_t(step.told));
  }
  ASSERT_NE(tray.shown(), nullptr);
  EXPECT_EQ(tray.shown()->contextMenu(), &menu);
  EXPECT_EQ(tray.shown()->toolTip(), QStringLiteral("Brindlet"));
}

TEST(TrayIcon, IsLightWithADarkEdge) {
  for (int side : {16, 22, 48}) {
    const QImage picture = TrayIcon::picture(side);
    int light = 0, dark = 0;
    for (int y = 0; y < side; ++y)
      for (int x = 0; x < side; ++x) {
        const QColor c = picture.pixelColor(x, y);
        if (c.alpha() < 200) continue;
        light += c.lightness() > 220;
        dark += c.lightness() < 40;
      }
    EXPECT_GT(light, side / 2) << side;
    EXPECT_GT(dark, side / 2) << side;
  }
}

}  // namespace
}  // namespace brindlet::app::ui
