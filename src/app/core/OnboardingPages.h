#pragma once

#include <array>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "app/core/Menu.h"
#include "app/core/Onboarding.h"
#include "app/core/Permission.h"
#include "transport/NearbyPhone.h"
#include "transport/Route.h"

namespace brindlet::app {

// What the onboarding window's pages and cards show, step by step.

enum class Tint { blue, purple, teal, green };

// The content under a page's message.
enum class PageContent {
  setupTime,
  screenRecordingCard,
  accessibilityCard,
  connectCard,
  readyCard
};

struct Page {
  std::string symbol;
  Tint tint = Tint::blue;
  std::string title;
  std::string message;
  PageContent content = PageContent::setupTime;
  friend bool operator==(const Page&, const Page&) = default;
};
Page pageOf(Step step);

// The welcome page's content: a label with the symbol "clock".
inline constexpr std::string_view setupTimeText = "Setup takes about a minute";

struct MainButton {
  enum class Does { next, request, finish };
  std::string title;
  Does does = Does::next;
  friend bool operator==(const MainButton&, const MainButton&) = default;
};
// On a permission step asked for in vain (a display without the extensions that capture needs
// cannot be switched on from here), the button goes on without it.
MainButton mainButton(Step step, const Permissions& granted, const Permissions& requested,
                      bool phoneConnected);

// "Back": invisible and disabled on the first page.
struct BackButton {
  bool visible = false;
  bool enabled = false;
  std::optional<Step> to;
  friend bool operator==(const BackButton&, const BackButton&) = default;
};
BackButton backButton(Step step);

// The page dots' accessibility label: "Step 2 of 5".
std::string stepLabel(Step step);

// The horizontal offsets, in points, with which a page comes in and goes out.
struct Slide {
  double insert = 0;
  double remove = 0;
  friend bool operator==(const Slide&, const Slide&) = default;
};
Slide slideOffsets(bool forward);

// A permission card: the permission's symbol and name, its status and the status symbol.
struct PermissionCard {
  std::string symbol;
  std::string name;
  std::string status;
  std::string statusSymbol;
  bool statusGreen = false;  // else tertiary
  friend bool operator==(const PermissionCard&, const PermissionCard&) = default;
};
// `captureLacking`: what screen capture lacks, which its card names (all it needs when empty).
PermissionCard permissionCard(Permission permission, const Permissions& granted,
                              const Permissions& requested,
                              const std::vector<std::string>& captureLacking);

// The connect card: the connected phone, or the search and a row per nearby phone.
struct ConnectCard {
  struct Row {
    std::string name;
    std::string button;  // "Connect", "Pair…"
    MenuAction action;   // connect or pair
    friend bool operator==(const Row&, const Row&) = default;
  };
  bool connected = false;
  std::string title;   // the phone's name, or the search's line
  std::string detail;  // how it is connected
  std::vector<Row> rows;
  friend bool operator==(const ConnectCard&, const ConnectCard&) = default;
};
struct ConnectedPhone {
  std::string name;
  transport::Route::Kind route = transport::Route::Kind::wifi;
  friend bool operator==(const ConnectedPhone&, const ConnectedPhone&) = default;
};
ConnectCard connectCard(const std::optional<ConnectedPhone>& client,
                        const std::vector<transport::NearbyPhone>& nearby);

// The ready card's gesture tips and its two switches.
struct Tip {
  std::string_view symbol;
  std::string_view text;
};
inline constexpr std::array<Tip, 4> readyTips{
    {{"hand.tap", "Tap to click"},
     {"hand.tap.fill", "Double-tap to open"},
     {"hand.draw", "Hold, then drag"},
     {"hand.raised.fingers.spread", "Two fingers to scroll"}}};
std::string launchAtLoginSwitchTitle();
inline constexpr std::string_view followWindowsSwitchTitle =
    "Open windows on iPhone when you start them from it";

// The settings guide's panel texts.
std::string guideHeadline();
std::string guideMessage(Permission permission);

}  // namespace brindlet::app
