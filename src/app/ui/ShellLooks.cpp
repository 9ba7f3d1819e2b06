#include "app/ui/ShellLooks.h"

namespace brindlet::app::ui {

PairingLook pairingLook(const PairingState& pairing, const std::optional<std::string>& error) {
  PairingLook look;
  look.title = pairingTitle(pairing);
  look.message = pairingMessage(pairing, error);
  look.mistake = pairingMessageIsMistake(pairing);
  look.pulse = pairingIconPulses(pairing);
  look.entering = codeFieldEnabled(pairing);
  if (pairing) look.phoneName = pairing->phone.name;
  const PairingActionElement action = pairingAction(pairing);
  if (action.kind == PairingActionElement::Kind::spinner)
    look.action = PairingLook::Action::spinner;
  else
    look.action =
        action.shortcut == "Escape" ? PairingLook::Action::cancel : PairingLook::Action::close;
  return look;
}

design::Rgba tintColour(Tint tint) {
  using design::SystemColor;
  constexpr auto dark = design::Appearance::dark;
  switch (tint) {
    case Tint::blue:
      return design::systemColor(SystemColor::blue, dark);
    case Tint::purple:
      return {0.75, 0.35, 0.95, 1};
    case Tint::teal:
      return {0.35, 0.78, 0.85, 1};
    case Tint::green:
      return design::systemColor(SystemColor::green, dark);
  }
  return design::systemColor(SystemColor::blue, dark);
}

OnboardingPage onboardingPage(Step step) {
  const Page page = pageOf(step);
  return {rawValue(step), page.symbol, tintColour(page.tint), page.title, page.message};
}

OnboardingBar onboardingBar(Step step, const Permissions& granted, const Permissions& requested,
                            bool phoneConnected) {
  return {backButton(step).visible, mainButton(step, granted, requested, phoneConnected).title};
}

PermissionCardLook permissionCardLook(Permission permission, const Permissions& granted,
                                      const Permissions& requested,
                                      const std::vector<std::string>& captureLacking) {
  const app::PermissionCard card = permissionCard(permission, granted, requested, captureLacking);
  return {card.symbol, card.name, card.status, card.statusGreen};
}

ConnectCardLook connectCardLook(const std::optional<ConnectedPhone>& client,
                                const std::vector<transport::NearbyPhone>& nearby) {
  const app::ConnectCard card = connectCard(client, nearby);
  ConnectCardLook look;
  if (card.connected) {
    look.connected = ConnectCardLook::Connected{card.title, card.detail};
    return look;
  }
  look.heading = card.title;
  for (const app::ConnectCard::Row& row : card.rows)
    look.rows.push_back(
        {row.action.phone ? row.action.phone->id() : row.name, row.name, row.button, row.action});
  return look;
}

ReadyCardLook readyCardLook() {
  ReadyCardLook look;
  for (const Tip& tip : readyTips)
    look.tips.push_back({std::string(tip.symbol), std::string(tip.text)});
  look.launchText = launchAtLoginSwitchTitle();
  look.followText = std::string(followWindowsSwitchTitle);
  return look;
}

GuidePanel::Texts guideTexts(Permission permission) {
  return {guideHeadline(), guideMessage(permission)};
}

}  // namespace brindlet::app::ui
