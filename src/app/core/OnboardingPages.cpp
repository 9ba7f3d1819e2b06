#include "app/core/OnboardingPages.h"

#include "design/DeckDesign.h"

namespace brindlet::app {
namespace {

const std::string product(design::DeckDesign::productName);

// "A", "A and B", "A, B and C".
std::string listed(const std::vector<std::string>& names) {
  std::string text;
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (i > 0) text += i + 1 == names.size() ? " and " : ", ";
    text += names[i];
  }
  return text;
}

}  // namespace

Page pageOf(Step step) {
  switch (step) {
    case Step::welcome:
      return {"macbook.and.iphone", Tint::blue, "Welcome to " + product,
              "Your iPhone becomes a second display for your computer, and a deck of controls "
              "that changes with the app you're in.",
              PageContent::setupTime};
    case Step::screenRecording:
      return {"rectangle.on.rectangle", Tint::purple, "Show your computer on your iPhone",
              "Screen Recording lets " + product + " send its display to your iPhone. " +
                  "The picture goes straight to your phone and is never saved.",
              PageContent::screenRecordingCard};
    case Step::accessibility:
      return {"hand.tap.fill", Tint::teal, "Control your computer by touch",
              "Accessibility lets taps, typing and the deck on your iPhone click, type and press "
              "buttons on your computer.",
              PageContent::accessibilityCard};
    case Step::connect:
      return {"cable.connector", Tint::green, "Connect your iPhone",
              "Plug it in with a USB-C cable, or open " + product +
                  " on your iPhone nearby to use Wi-Fi.",
              PageContent::connectCard};
    case Step::ready:
      break;
  }
  return {"checkmark", Tint::green, "You're all set",
          "Your computer's extra display is on your iPhone. A few things to try:",
          PageContent::readyCard};
}

MainButton mainButton(Step step, const Permissions& granted, const Permissions& requested,
                      bool phoneConnected) {
  using Does = MainButton::Does;
  switch (step) {
    case Step::welcome:
      return {"Get Started", Does::next};
    case Step::screenRecording:
    case Step::accessibility:
      // On this desktop the button switches the permission on itself, where it can; once asked
      // for, a permission still off lets the user go on without it.
      if (granted.count(*permissionOf(step)) || requested.count(*permissionOf(step)))
        return {"Continue", Does::next};
      return {"Turn On", Does::request};
    case Step::connect:
      return {phoneConnected ? "Continue" : "Skip for Now", Does::next};
    case Step::ready:
      break;
  }
  return {"Done", Does::finish};
}

BackButton backButton(Step step) {
  const auto to = stepFrom(rawValue(step) - 1);
  return {to.has_value(), to.has_value(), to};
}

std::string stepLabel(Step step) {
  return "Step " + std::to_string(rawValue(step) + 1) + " of " + std::to_string(stepCount);
}

Slide slideOffsets(bool forward) {
  return forward ? Slide{40, -40} : Slide{-40, 40};
}

PermissionCard permissionCard(Permission permission, const Permissions& granted,
                              const Permissions& requested,
                              const std::vector<std::string>& captureLacking) {
  PermissionCard card;
  card.symbol =
      permission == Permission::screenRecording ? "rectangle.dashed.badge.record" : "accessibility";
  card.name = cardName(permission);
  card.statusGreen = granted.count(permission) > 0;
  if (card.statusGreen) {
    card.status = "On";
  } else if (requested.count(permission)) {
    // Only the accessibility switch is the app's to work; screen capture is there or not, by
    // what the X server offers, and the card says what it lacks.
    static const std::vector<std::string> captureNeeds{"MIT-SHM", "XFIXES", "DAMAGE"};
    card.status = permission == Permission::accessibility
                      ? "Switching it on…"
                      : "Needs an X display with " +
                            listed(captureLacking.empty() ? captureNeeds : captureLacking);
  } else {
    card.status = "Off";
  }
  card.statusSymbol = card.statusGreen ? "checkmark.circle.fill" : "circle.dashed";
  return card;
}

ConnectCard connectCard(const std::optional<ConnectedPhone>& client,
                        const std::vector<transport::NearbyPhone>& nearby) {
  ConnectCard card;
  if (client) {
    card.connected = true;
    card.title = client->name;
    card.detail = client->route == transport::Route::Kind::usb ? "Connected with USB-C"
                                                               : "Connected over Wi-Fi";
    return card;
  }
  card.title = nearby.empty() ? "Looking for your iPhone…" : "Choose your iPhone";
  for (const auto& phone : nearby) {
    if (phone.isPaired) {
      card.rows.push_back({phone.name, "Connect", MenuAction(MenuAction::Kind::connect, phone)});
    } else {
      card.rows.push_back({phone.name, "Pair…", MenuAction(MenuAction::Kind::pair, phone)});
    }
  }
  return card;
}

std::string launchAtLoginSwitchTitle() {
  return "Open " + product + " when you log in";
}

std::string guideHeadline() {
  return "Turn on " + product;
}

std::string guideMessage(Permission permission) {
  return "In " + std::string(cardName(permission)) + ", switch on " + product + ".";
}

}  // namespace brindlet::app
