// The onboarding pages, buttons and cards against their texts, with this computer called a
// computer and the settings switch turned on by the button itself.

#include "app/core/OnboardingPages.h"

#include <gtest/gtest.h>

#include "app/core/Phones.h"

namespace brindlet::app {
namespace {

using Does = MainButton::Does;
const Permissions none;
const Permissions both{Permission::screenRecording, Permission::accessibility};

TEST(Pages, EveryStep) {
  const Page pages[] = {
      {"macbook.and.iphone", Tint::blue, "Welcome to Brindlet",
       "Your iPhone becomes a second display for your computer, and a deck of controls that "
       "changes with the app you're in.",
       PageContent::setupTime},
      {"rectangle.on.rectangle", Tint::purple, "Show your computer on your iPhone",
       "Screen Recording lets Brindlet send its display to your iPhone. The picture goes "
       "straight to your phone and is never saved.",
       PageContent::screenRecordingCard},
      {"hand.tap.fill", Tint::teal, "Control your computer by touch",
       "Accessibility lets taps, typing and the deck on your iPhone click, type and press "
       "buttons on your computer.",
       PageContent::accessibilityCard},
      {"cable.connector", Tint::green, "Connect your iPhone",
       "Plug it in with a USB-C cable, or open Brindlet on your iPhone nearby to use Wi-Fi.",
       PageContent::connectCard},
      {"checkmark", Tint::green, "You're all set",
       "Your computer's extra display is on your iPhone. A few things to try:",
       PageContent::readyCard},
  };
  for (int raw = 0; raw < stepCount; ++raw) {
    const Step step = *stepFrom(raw);
    EXPECT_EQ(pageOf(step), pages[raw]);
    EXPECT_EQ(stepLabel(step), "Step " + std::to_string(raw + 1) + " of 5");
  }
}

TEST(Pages, MainButton) {
  const auto screen = Permission::screenRecording;
  const auto access = Permission::accessibility;
  const struct {
    Step step;
    Permissions granted;
    Permissions requested;
    bool phone;
    MainButton button;
  } cases[] = {
      {Step::welcome, none, none, false, {"Get Started", Does::next}},
      {Step::screenRecording, none, none, false, {"Turn On", Does::request}},
      {Step::screenRecording, {access}, {access}, false, {"Turn On", Does::request}},
      {Step::screenRecording, {screen}, none, false, {"Continue", Does::next}},
      // Asked for on a display without MIT-SHM, XFIXES or DAMAGE: still off, and a way on.
      {Step::screenRecording, none, {screen}, false, {"Continue", Does::next}},
      {Step::accessibility, {screen}, none, false, {"Turn On", Does::request}},
      {Step::accessibility, {screen}, {access}, false, {"Continue", Does::next}},
      {Step::accessibility, both, none, false, {"Continue", Does::next}},
      {Step::connect, both, none, false, {"Skip for Now", Does::next}},
      {Step::connect, none, none, true, {"Continue", Does::next}},
      {Step::ready, none, none, false, {"Done", Does::finish}},
  };
  for (const auto& c : cases)
    EXPECT_EQ(mainButton(c.step, c.granted, c.requested, c.phone), c.button);
}

TEST(Pages, BackAndSlide) {
  EXPECT_EQ(backButton(Step::welcome), (BackButton{false, false, std::nullopt}));
  EXPECT_EQ(backButton(Step::screenRecording), (BackButton{true, true, Step::welcome}));
  EXPECT_EQ(backButton(Step::ready), (BackButton{true, true, Step::connect}));
  EXPECT_EQ(slideOffsets(true), (Slide{40, -40}));
  EXPECT_EQ(slideOffsets(false), (Slide{-40, 40}));
}

TEST(Cards, Permission) {
  const auto screen = Permission::screenRecording;
  const auto access = Permission::accessibility;
  const std::string lacking = "Needs an X display with MIT-SHM, XFIXES and DAMAGE";
  const struct {
    Permission permission;
    Permissions granted, requested;
    PermissionCard card;
  } rows[] = {
      {screen,
       none,
       none,
       {"rectangle.dashed.badge.record", "Screen Recording", "Off", "circle.dashed", false}},
      // "Turn On" can do nothing for screen capture: the card names what is missing.
      {screen,
       none,
       {screen},
       {"rectangle.dashed.badge.record", "Screen Recording", lacking, "circle.dashed", false}},
      {screen,
       {screen},
       {screen},
       {"rectangle.dashed.badge.record", "Screen Recording", "On", "checkmark.circle.fill", true}},
      {access, none, none, {"accessibility", "Accessibility", "Off", "circle.dashed", false}},
      {access,
       {screen},
       {access},
       {"accessibility", "Accessibility", "Switching it on…", "circle.dashed", false}},
      {access,
       both,
       {access},
       {"accessibility", "Accessibility", "On", "checkmark.circle.fill", true}},
  };
  for (const auto& row : rows) {
    EXPECT_EQ(permissionCard(row.permission, row.granted, row.requested, {}), row.card)
        << row.card.name << ": " << row.card.status;
  }
}

// The screen card names only the extensions the display lacks.
TEST(Cards, ScreenRecordingNamesWhatTheDisplayLacks) {
  const struct {
    std::vector<std::string> lacking;
    std::string status;
  } rows[] = {
      {{"XFIXES"}, "Needs an X display with XFIXES"},
      {{"MIT-SHM", "DAMAGE"}, "Needs an X display with MIT-SHM and DAMAGE"},
      {{"MIT-SHM", "XFIXES", "DAMAGE"}, "Needs an X display with MIT-SHM, XFIXES and DAMAGE"},
  };
  const auto screen = Permission::screenRecording;
  for (const auto& row : rows) {
    EXPECT_EQ(permissionCard(screen, none, {screen}, row.lacking).status, row.status);
    EXPECT_EQ(permissionCard(screen, {screen}, {screen}, row.lacking).status, "On");
  }
}

TEST(Cards, Connect) {
  using Row = ConnectCard::Row;
  EXPECT_EQ(connectCard(ConnectedPhone{"Ann", transport::Route::Kind::usb}, {}),
            (ConnectCard{true, "Ann", "Connected with USB-C", {}}));
  EXPECT_EQ(
      connectCard(ConnectedPhone{"Ann", transport::Route::Kind::wifi}, {pairedPhone("Bo", "B")}),
      (ConnectCard{true, "Ann", "Connected over Wi-Fi", {}}));
  EXPECT_EQ(connectCard(std::nullopt, {}),
            (ConnectCard{false, "Looking for your iPhone…", "", {}}));
  const auto bo = pairedPhone("Bo", "B");
  const auto cy = pairablePhone("Cy", "C");
  EXPECT_EQ(connectCard(std::nullopt, {bo, cy}),
            (ConnectCard{false,
                         "Choose your iPhone",
                         "",
                         {Row{"Bo", "Connect", MenuAction(MenuAction::Kind::connect, bo)},
                          Row{"Cy", "Pair…", MenuAction(MenuAction::Kind::pair, cy)}}}));
}

TEST(Cards, ReadyAndGuideTexts) {
  EXPECT_EQ(readyTips[0].text, "Tap to click");
  EXPECT_EQ(readyTips[3].symbol, "hand.raised.fingers.spread");
  EXPECT_EQ(launchAtLoginSwitchTitle(), "Open Brindlet when you log in");
  EXPECT_EQ(guideHeadline(), "Turn on Brindlet");
  EXPECT_EQ(guideMessage(Permission::screenRecording), "In Screen Recording, switch on Brindlet.");
}

TEST(Permissions, RawValuesAndAddresses) {
  EXPECT_EQ(permissionFrom("screenRecording"), Permission::screenRecording);
  EXPECT_EQ(permissionFrom("ScreenRecording"), std::nullopt);
  EXPECT_EQ(permissionFrom(""), std::nullopt);
  EXPECT_EQ(settingsURL(Permission::accessibility),
            "x-apple.systempreferences:com.apple.preference.security?Privacy_Accessibility");
}

}  // namespace
}  // namespace brindlet::app
