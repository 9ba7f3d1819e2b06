#include "AppGallery.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QLayout>
#include <QPainter>

#include <cstdio>
#include <string>

#include "app/core/ScriptedShell.h"
#include "app/ui/GuidePanel.h"
#include "app/ui/Look.h"
#include "app/ui/ManualTrayHosts.h"
#include "app/ui/OnboardingWindow.h"
#include "app/ui/PairingWindow.h"
#include "app/ui/Shell.h"
#include "app/ui/ShellLooks.h"

namespace brindlet::app::ui {

namespace {

constexpr double kScale = 2;

// Lets the Qt thread's events and the windows' springs run for a while.
void settle(int milliseconds) {
  QElapsedTimer timer;
  timer.start();
  while (timer.elapsed() < milliseconds) QApplication::processEvents(QEventLoop::AllEvents, 10);
}

bool save(QWidget& widget, const std::filesystem::path& file) {
  widget.ensurePolished();
  if (widget.layout()) widget.layout()->activate();
  QImage image(widget.size() * kScale, QImage::Format_ARGB32_Premultiplied);
  image.setDevicePixelRatio(kScale);
  image.fill(QColor(28, 28, 30));
  widget.render(&image, {}, {}, QWidget::DrawChildren);
  if (image.save(QString::fromStdString(file.string()), "PNG")) return true;
  std::fprintf(stderr, "design-gallery: cannot write %s\n", file.c_str());
  return false;
}

const char* stepName(Step step) {
  constexpr const char* names[] = {"welcome", "screen-recording", "accessibility", "connect",
                                   "ready"};
  return names[rawValue(step)];
}

bool writePages(app::ScriptedShell& scripted, Shell& shell, const std::filesystem::path& folder) {
  for (int raw = 0; raw < stepCount; ++raw)
    for (bool granted : {false, true})
      for (bool phone : {false, true}) {
        const Step step = *stepFrom(raw);
        scripted.change([&](ShellState& s) {
          s.step = step;
          s.granted =
              granted ? Permissions{allPermissions.begin(), allPermissions.end()} : Permissions{};
          s.requested = s.granted;
          s.client.reset();
          s.menu.nearby.clear();
          if (phone) {
            s.client = ConnectedPhone{"Ada's iPhone", transport::Route::Kind::usb};
          } else {
            s.menu.nearby = {app::nearbyPhone("Ada's iPhone", "uid-ada", true),
                             app::nearbyPhone("Bo's iPhone", "uid-bo", false)};
          }
        });
        shell.showOnboarding();
        settle(900);
        const std::string name = std::string("page-") + stepName(step) +
                                 (granted ? "-granted" : "-not-granted") +
                                 (phone ? "-phone" : "-no-phone") + ".png";
        if (!save(*shell.onboardingWindow(), folder / name)) return false;
        shell.onboardingWindow()->close();
        settle(20);
      }
  return true;
}

bool writePairing(app::ScriptedShell& scripted, Shell& shell, const std::filesystem::path& folder) {
  const auto phone = app::nearbyPhone("Ada's iPhone", "uid-ada", false);
  const std::pair<const char*, PairingState> states[] = {
      {"none", std::nullopt},
      {"asking", Pairing::asking(phone)},
      {"entering", Pairing::entering(phone, 3, false)},
      {"mistake", Pairing::entering(phone, 2, true)},
      {"checking", Pairing::checking(phone, 2)},
      {"locked-out", Pairing::lockedOut(phone)},
  };
  scripted.change([](ShellState& s) { s.menu.connectorError = "Couldn't reach Ada's iPhone"; });
  for (const auto& [name, state] : states) {
    scripted.setPairing(state);
    shell.showPairing();
    settle(400);
    if (!save(*shell.pairingWindow(), folder / (std::string("pairing-") + name + ".png")))
      return false;
  }
  if (PairingWindow* window = shell.pairingWindow()) window->close();
  return true;
}

bool writeGuides(const std::filesystem::path& folder) {
  for (Permission permission : allPermissions) {
    ui::GuidePanel panel(guideTexts(permission));
    if (!save(panel, folder / ("guide-" + std::string(rawValue(permission)) + ".png")))
      return false;
  }
  return true;
}

bool writeMenus(const std::filesystem::path& folder) {
  MenuState nearby;
  nearby.displayUnavailable = true;
  nearby.connectorError = "Couldn't connect to Bo's iPhone";
  nearby.nearby = {app::nearbyPhone("Ada's iPhone", "uid-ada", true),
                   app::nearbyPhone("Bo's iPhone", "uid-bo", false)};
  MenuState connected;
  connected.client = MenuState::Client{"Ada's iPhone", transport::Route::Kind::wifi};
  connected.needsAccessibility = true;
  connected.claudeConnected = true;
  connected.canCheck = true;
  const std::pair<const char*, MenuState> states[] = {
      {"bare", MenuState{}}, {"nearby", nearby}, {"connected", connected}};
  for (const auto& [name, state] : states) {
    TrayMenu menu([](const MenuAction&) {});
    menu.setItems(menuItems(state));
    emit menu.aboutToShow();
    menu.adjustSize();
    if (!save(menu, folder / (std::string("menu-") + name + ".png"))) return false;
  }
  return true;
}

}  // namespace

bool writeAppGallery(const std::filesystem::path& folder) {
  applyApplicationLook();
  app::ScriptedShell scripted;
  ManualTrayHosts hosts;
  Shell shell(scripted.loop, scripted.actions, {scripted.state, scripted.pairing}, hosts);
  return writePages(scripted, shell, folder) && writePairing(scripted, shell, folder) &&
         writeGuides(folder) && writeMenus(folder);
}

}  // namespace brindlet::app::ui
