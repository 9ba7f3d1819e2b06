#include <gtest/gtest.h>

#include <QActionGroup>
#include <QSystemTrayIcon>

#include "app/ui/ManualTrayHosts.h"
#include "app/ui/TrayIcon.h"
#include "app/ui/TrayMenu.h"
#include "runtime/Log.h"
#include "support/QtHarness.h"

namespace brindlet::app::ui {
namespace {

using Kind = MenuItem::Kind;

MenuItem item(Kind kind, std::string text, std::string action = {}) {
  return menuItem(kind, std::move(text), std::move(action));
}

// A menu with an item of every kind.
std::vector<MenuItem> everyKind() {
  auto label = item(Kind::label, "Display unavailable");
  label.symbol = "exclamationmark.triangle";
  auto follow = item(Kind::toggle, "Open Windows on iPhone", "follow");
  follow.checked = true;
  auto quality = item(Kind::picker, "Quality");
  for (auto [name, chosen] : {std::pair{"Best", false}, {"Balanced", true}, {"Fast", false}}) {
    auto option = item(Kind::button, name, std::string("quality.") + name);
    option.checked = chosen;
    quality.children.push_back(option);
  }
  auto nearby = item(Kind::section, "Nearby");
  nearby.children = {item(Kind::button, "Connect to Ada's iPhone", "connect.1")};
  auto forget = item(Kind::submenu, "Forget");
  forget.children = {item(Kind::button, "Forget Ada's iPhone", "forget.1")};
  auto update = item(Kind::button, "Check for Updates…", "update");
  update.enabled = false;
  auto quit = item(Kind::button, "Quit Brindlet", "quit");
  quit.shortcut = "Ctrl+Q";
  return {item(Kind::text, "Brindlet"), label,  follow, quality, nearby, forget,
          item(Kind::divider, ""),      update, quit};
}

TEST(TrayMenu, DrawsEveryKindOfItemAndReportsEachChoice) {
  std::vector<std::string> chosen;
  TrayMenu menu([&](const std::string& action) { chosen.push_back(action); });
  menu.setItems(everyKind());
  emit menu.aboutToShow();
  const auto actions = menu.actions();
  ASSERT_EQ(actions.size(), 10);  // the section's title and its one row make two
  struct Row {
    const char* text;
    bool enabled, checkable, checked, separator, submenu;
  };
  const Row rows[] = {
      {"Brindlet", false, false, false, false, false},
      {"Display unavailable", false, false, false, false, false},
      {"Open Windows on iPhone", true, true, true, false, false},
      {"Quality", true, false, false, false, true},
      {"Nearby", true, false, false, true, false},
      {"Connect to Ada's iPhone", true, false, false, false, false},
      {"Forget", true, false, false, false, true},
      {"", true, false, false, true, false},
      {"Check for Updates…", false, false, false, false, false},
      {"Quit Brindlet", true, false, false, false, false},
  };
  for (int i = 0; i < actions.size(); ++i) {
    const Row& row = rows[i];
    QAction* a = actions[i];
    SCOPED_TRACE(row.text);
    EXPECT_EQ(a->text(), QString::fromUtf8(row.text));
    EXPECT_EQ(a->isEnabled(), row.enabled);
    EXPECT_EQ(a->isCheckable(), row.checkable);
    EXPECT_EQ(a->isChecked(), row.checked);
    EXPECT_EQ(a->isSeparator(), row.separator);
    EXPECT_EQ(a->menu() != nullptr, row.submenu);
  }
  EXPECT_FALSE(actions[1]->icon().isNull());
  EXPECT_EQ(actions[9]->shortcut(), QKeySequence(Qt::CTRL | Qt::Key_Q));

  const auto options = actions[3]->menu()->actions();
  ASSERT_EQ(options.size(), 3);
  EXPECT_TRUE(options[1]->isChecked());
  ASSERT_NE(options[0]->actionGroup(), nullptr);
  EXPECT_TRUE(options[0]->actionGroup()->isExclusive());

  actions[2]->trigger();
  options[2]->trigger();
  actions[5]->trigger();
  actions[6]->menu()->actions().front()->trigger();
  actions[9]->trigger();
  EXPECT_EQ(chosen,
            (std::vector<std::string>{"follow", "quality.Fast", "connect.1", "forget.1", "quit"}));
}

TEST(TrayMenu, IsBuiltOnEachOpeningAndKeptCurrentWhileOpen) {
  int refreshed = 0;
  TrayMenu menu([](const std::string&) {}, [&] { ++refreshed; });
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

TEST(TrayIcon, IsMadeOnlyWithAHostAndAnewAtEveryChange) {
  runtime::LogCapture capture;
  ManualTrayHosts hosts;
  TrayMenu menu([](const std::string&) {});
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
