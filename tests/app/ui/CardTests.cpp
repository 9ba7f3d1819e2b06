#include <gtest/gtest.h>

#include <QAccessible>
#include <QLabel>
#include <QPushButton>
#include <QTest>

#include "app/ui/OnboardingCards.h"
#include "support/QtHarness.h"

namespace brindlet::app::ui {
namespace {

TEST(PermissionCard, ShowsTheStateItIsGiven) {
  PermissionCardLook look{"accessibility", "Accessibility", "Off", false};
  PermissionCard card(look);
  EXPECT_EQ(card.statusSymbol()->symbol(), "circle.dashed");
  EXPECT_EQ(card.accessibleName(), QStringLiteral("Accessibility, Off"));
  look.status = "On";
  look.granted = true;
  card.setLook(look);
  EXPECT_EQ(card.statusSymbol()->symbol(), "checkmark.circle.fill");
  EXPECT_EQ(card.accessibleName(), QStringLiteral("Accessibility, On"));
}

TEST(ConnectCard, FollowsPhonesAsTheyComeAndGo) {
  std::vector<MenuAction> chosen;
  ConnectCard card([&](const MenuAction& action) { chosen.push_back(action); });
  using Row = ConnectCardLook::Row;
  ConnectCardLook none{std::nullopt, "Looking for your iPhone…", {}};
  card.setLook(none);
  ASSERT_NE(card.heading(), nullptr);
  EXPECT_EQ(card.heading()->text(), QStringLiteral("Looking for your iPhone…"));
  EXPECT_TRUE(card.rowButtons().empty());

  ConnectCardLook two{std::nullopt,
                      "Choose your iPhone",
                      {Row{"a", "Ada's iPhone", "Pair…", {MenuAction::Kind::pair}},
                       Row{"b", "Bo's iPhone", "Connect", {MenuAction::Kind::connect}}}};
  card.setLook(two);
  EXPECT_EQ(card.heading()->text(), QStringLiteral("Choose your iPhone"));
  auto buttons = card.rowButtons();
  ASSERT_EQ(buttons.size(), 2u);
  EXPECT_EQ(buttons[0]->text(), QStringLiteral("Pair…"));
  buttons[1]->click();
  EXPECT_EQ(chosen, std::vector<MenuAction>{{MenuAction::Kind::connect}});

  card.setLook({ConnectCardLook::Connected{"Bo's iPhone", "Connected with USB-C"}, "", {}});
  EXPECT_EQ(card.heading(), nullptr);
  EXPECT_TRUE(card.rowButtons().empty());
  const auto labels = card.findChildren<QLabel*>();
  bool route = false;
  for (QLabel* l : labels) route = route || l->text() == QStringLiteral("Connected with USB-C");
  EXPECT_TRUE(route);
  bool connected = false;
  for (SymbolView* s : card.findChildren<SymbolView*>())
    connected = connected || QAccessible::queryAccessibleInterface(s)->text(QAccessible::Name) ==
                                 QStringLiteral("Connected");
  EXPECT_TRUE(connected);

  card.setLook(none);  // the phone went away: back to looking
  ASSERT_NE(card.heading(), nullptr);
  EXPECT_EQ(card.heading()->text(), QStringLiteral("Looking for your iPhone…"));
}

TEST(ReadyCard, ReportsEachSwitchAtOnceAndTakesTheirValuesQuietly) {
  std::vector<std::pair<char, bool>> changes;
  ReadyCard card(
      {{{"hand.tap", "Tap to click"},
        {"hand.tap.fill", "Double-tap to open"},
        {"hand.draw", "Hold, then drag"},
        {"hand.raised.fingers.spread", "Two fingers to scroll"}},
       "Open Brindlet when you log in",
       "Open windows on iPhone when you start them from it"},
      [&](bool on) { changes.emplace_back('l', on); },
      [&](bool on) { changes.emplace_back('f', on); });
  card.setSwitches(true, true);
  EXPECT_TRUE(changes.empty());
  card.followSwitch()->click();
  card.launchSwitch()->click();
  EXPECT_EQ(changes, (std::vector<std::pair<char, bool>>{{'f', false}, {'l', false}}));
}

}  // namespace
}  // namespace brindlet::app::ui
