#pragma once

#include <optional>
#include <string>
#include <vector>

#include "app/core/Menu.h"
#include "app/core/Onboarding.h"
#include "app/core/OnboardingPages.h"
#include "app/core/PairingView.h"
#include "app/core/Permission.h"

namespace brindlet::app {

// A copy of everything the user interface draws, made on the main loop whenever a model changes
// and handed to the interface's thread, which never touches a model.
struct ShellState {
  // The tray menu.
  MenuState menu;

  // The onboarding window.
  Step step = Step::welcome;
  bool forward = true;  // the direction of the last step change
  Permissions granted;
  Permissions requested;
  std::vector<std::string> captureLacking;
  bool wantsLaunchAtLogin = true;
  std::string saveFailure;               // why the last Done kept less than it should, in one line
  std::optional<ConnectedPhone> client;  // the connect card's phone; nearby ones are menu.nearby

  // The pairing window; the connector's error is menu.connectorError. Pairing changes also
  // travel one by one, in order, beside this copy: the window reacts to each step.
  PairingState pairing;

  friend bool operator==(const ShellState&, const ShellState&) = default;
};

}  // namespace brindlet::app
