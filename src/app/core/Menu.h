#pragma once

#include <optional>
#include <string>
#include <vector>

#include "streaming/VideoTypes.h"
#include "transport/NearbyPhone.h"
#include "transport/Route.h"

namespace brindlet::app {

// What choosing a menu item does; the shell carries it out.
struct MenuAction {
  enum class Kind {
    none,
    setUp,            // restart onboarding and show its window
    checkForUpdates,  // the updater's check
    quit,
    openAccessibilitySettings,
    followWindows,     // store `on` as the window follower's switch
    chooseQuality,     // set the session's quality to `quality`
    connect,           // connect to `phone`
    pair,              // show the pairing window, then request pairing with `phone`
    forget,            // forget `phone` by its uid
    connectClaude,     // the Agents submenu's install
    disconnectClaude,  // and uninstall
  };
  MenuAction() = default;
  MenuAction(Kind kind, std::optional<transport::NearbyPhone> phone = std::nullopt,
             std::optional<streaming::VideoQuality> quality = std::nullopt, bool on = false)
      : kind(kind), phone(std::move(phone)), quality(quality), on(on) {}

  Kind kind = Kind::none;
  std::optional<transport::NearbyPhone> phone;
  std::optional<streaming::VideoQuality> quality;
  bool on = false;

  friend bool operator==(const MenuAction&, const MenuAction&) = default;
};

// One entry of the tray menu. A text is a disabled line, a label one with a symbol, a toggle has
// a check mark when on, a picker is a submenu whose options (buttons) mark the chosen one, a
// section a titled group, a submenu a nested menu.
struct MenuItem {
  enum class Kind { text, label, button, toggle, picker, section, submenu, divider };
  Kind kind = Kind::text;
  std::string text;
  std::string symbol;
  bool enabled = true;
  bool checked = false;
  std::string shortcut;  // "Ctrl+Q"
  MenuAction action;
  std::vector<MenuItem> children;

  friend bool operator==(const MenuItem&, const MenuItem&) = default;
};

// Everything the menu reads.
struct MenuState {
  struct Client {
    std::string name;  // from its hello
    transport::Route::Kind route = transport::Route::Kind::wifi;
    friend bool operator==(const Client&, const Client&) = default;
  };
  bool displayUnavailable = false;
  // The session's.
  std::optional<Client> client;
  std::optional<std::string> lastError;
  bool needsAccessibility = false;
  streaming::VideoQuality quality = streaming::VideoQuality::balanced;
  bool followWindows = true;
  // The phone connector's.
  std::vector<transport::NearbyPhone> nearby;
  std::optional<std::string> connectorError;
  // The updater's.
  bool canCheck = false;
  // The Agents submenu's.
  bool claudeConnected = false;
  std::optional<std::string> agentsError;

  friend bool operator==(const MenuState&, const MenuState&) = default;
};

// The menu, top to bottom.
std::vector<MenuItem> menuItems(const MenuState& state);

}  // namespace brindlet::app
