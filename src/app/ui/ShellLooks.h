#pragma once

// The shell's tables turned into the plain looks the windows draw: what a pairing state shows,
// each onboarding page and its bar, the cards, and the guide's texts.

#include <optional>
#include <string>
#include <vector>

#include "app/core/OnboardingPages.h"
#include "app/core/PairingView.h"
#include "app/ui/GuidePanel.h"
#include "app/ui/OnboardingCards.h"
#include "app/ui/OnboardingWindow.h"
#include "app/ui/PairingWindow.h"
#include "design/Color.h"

namespace brindlet::app::ui {

// The connector's error shows while no pairing is in progress.
PairingLook pairingLook(const PairingState& pairing, const std::optional<std::string>& error);

design::Rgba tintColour(Tint tint);
OnboardingPage onboardingPage(Step step);
OnboardingBar onboardingBar(Step step, const Permissions& granted, const Permissions& requested,
                            bool phoneConnected);

PermissionCardLook permissionCardLook(Permission permission, const Permissions& granted,
                                      const Permissions& requested,
                                      const std::vector<std::string>& captureLacking);
ConnectCardLook connectCardLook(const std::optional<ConnectedPhone>& client,
                                const std::vector<transport::NearbyPhone>& nearby);
ReadyCardLook readyCardLook();

GuidePanel::Texts guideTexts(Permission permission);

}  // namespace brindlet::app::ui
