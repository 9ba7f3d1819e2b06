#include "app/core/Menu.h"

#include <algorithm>
#include <array>
#include <utility>

#include "design/DeckDesign.h"

namespace brindlet::app {
namespace {

using Kind = MenuItem::Kind;
using Action = MenuAction::Kind;

const std::string productName(design::DeckDesign::productName);

MenuItem item(Kind kind, std::string text = {}, std::string symbol = {}) {
  MenuItem made;
  made.kind = kind;
  made.text = std::move(text);
  made.symbol = std::move(symbol);
  return made;
}

MenuItem text(std::string line) {
  return item(Kind::text, std::move(line));
}

MenuItem button(std::string title, MenuAction action, bool enabled = true) {
  auto made = item(Kind::button, std::move(title));
  made.action = std::move(action);
  made.enabled = enabled;
  return made;
}

MenuItem nested(Kind kind, std::string title, std::vector<MenuItem> children) {
  auto made = item(kind, std::move(title));
  made.children = std::move(children);
  return made;
}

MenuAction onPhone(Action kind, const transport::NearbyPhone& phone) {
  return MenuAction(kind, phone);
}

void appendNearby(const MenuState& state, std::vector<MenuItem>& items) {
  if (state.nearby.empty()) return;
  std::vector<MenuItem> rows;
  std::vector<MenuItem> forget;
  for (const auto& phone : state.nearby) {
    if (phone.isPaired) {
      rows.push_back(button("Connect to " + phone.name, onPhone(Action::connect, phone)));
      forget.push_back(button("Forget " + phone.name, onPhone(Action::forget, phone)));
    } else if (phone.canPair()) {
      rows.push_back(button("Pair with " + phone.name + "…", onPhone(Action::pair, phone)));
    }
  }
  items.push_back(nested(Kind::section, "Nearby", std::move(rows)));
  if (!forget.empty()) items.push_back(nested(Kind::submenu, "Forget", std::move(forget)));
}

void appendConnected(const MenuState& state, std::vector<MenuItem>& items) {
  const auto& client = *state.client;
  items.push_back(text("Connected to " + client.name + " · " +
                       (client.route == transport::Route::Kind::usb ? "USB" : "Wi-Fi")));
  if (state.lastError) items.push_back(text(*state.lastError));
  if (state.needsAccessibility) {
    items.push_back(text("Allow Accessibility so taps on your phone can move the cursor"));
    // X11 has no settings pane to open: the item is shown but cannot be chosen.
    items.push_back(
        button("Open Accessibility Settings…", {Action::openAccessibilitySettings}, false));
  }
  auto follow = item(Kind::toggle, "Open Windows on iPhone");
  follow.checked = state.followWindows;
  follow.action =
      MenuAction(Action::followWindows, std::nullopt, std::nullopt, !state.followWindows);
  items.push_back(std::move(follow));
  std::vector<MenuItem> options;
  using streaming::VideoQuality;
  constexpr std::array<std::pair<VideoQuality, const char*>, 3> qualities{
      {{VideoQuality::best, "Best"},
       {VideoQuality::balanced, "Balanced"},
       {VideoQuality::fast, "Fast"}}};
  for (const auto& [quality, title] : qualities) {
    auto option = button(title, {Action::chooseQuality, std::nullopt, quality});
    option.checked = quality == state.quality;
    options.push_back(std::move(option));
  }
  items.push_back(nested(Kind::picker, "Quality", std::move(options)));
}

void appendDisconnected(const MenuState& state, std::vector<MenuItem>& items) {
  items.push_back(text("No iPhone or iPad connected"));
  if (state.lastError) items.push_back(text(*state.lastError));
  if (state.connectorError) items.push_back(text(*state.connectorError));
  appendNearby(state, items);
}

MenuItem agentsMenu(const MenuState& state) {
  std::vector<MenuItem> children;
  if (state.claudeConnected) {
    children.push_back(item(Kind::label, "Claude Code Connected", "checkmark"));
    children.push_back(button("Disconnect Claude Code", {Action::disconnectClaude}));
  } else {
    children.push_back(button("Connect Claude Code", {Action::connectClaude}));
  }
  if (state.agentsError) children.push_back(text(*state.agentsError));
  return nested(Kind::submenu, "Agents", std::move(children));
}

}  // namespace

std::vector<MenuItem> menuItems(const MenuState& state) {
  std::vector<MenuItem> items{text(productName)};
  if (state.displayUnavailable)
    items.push_back(item(Kind::label, "Display unavailable", "exclamationmark.triangle"));
  if (state.client) {
    appendConnected(state, items);
  } else {
    appendDisconnected(state, items);
  }
  items.push_back(item(Kind::divider));
  items.push_back(agentsMenu(state));
  items.push_back(button("Set Up " + productName + "…", {Action::setUp}));
  items.push_back(button("Check for Updates…", {Action::checkForUpdates}, state.canCheck));
  auto quit = button("Quit " + productName, {Action::quit});
  quit.shortcut = "Ctrl+Q";
  items.push_back(std::move(quit));
  return items;
}

}  // namespace brindlet::app
