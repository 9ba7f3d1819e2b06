#include "app/core/SettingsGuide.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <string_view>

#include "app/core/EveryTick.h"

namespace brindlet::app {
namespace {

constexpr std::array<std::string_view, 2> settingsClasses{"Gnome-control-center", "systemsettings"};
constexpr double gap = 12;  // points between the window and the panel

bool isShownSettingsWindow(const desktop::WindowInfo& window) {
  return std::find(settingsClasses.begin(), settingsClasses.end(), window.windowClass) !=
             settingsClasses.end() &&
         std::find(window.types.begin(), window.types.end(), "normal") != window.types.end() &&
         !window.hidden;
}

}  // namespace

std::optional<desktop::Rect> settingsWindowFrame(const desktop::WindowSnapshot& snapshot) {
  std::optional<desktop::Rect> largest;
  auto area = [](const desktop::Rect& r) { return std::int64_t{r.width} * r.height; };
  for (const auto& window : snapshot.windows) {
    if (!isShownSettingsWindow(window)) continue;
    const auto frame = window.frame();
    if (!largest || area(frame) > area(*largest)) largest = frame;
  }
  return largest;
}

PanelOrigin guideOrigin(desktop::Rect frame, double scale) {
  const double middle = frame.x + frame.width / 2.0;
  return {static_cast<int>(std::lround(middle - SettingsGuide::panelWidth * scale / 2)),
          static_cast<int>(std::lround(frame.y + frame.height + gap * scale))};
}

std::shared_ptr<SettingsGuide> SettingsGuide::make(std::shared_ptr<desktop::WindowSystem> windows,
                                                   std::shared_ptr<GuidePanel> panel,
                                                   std::shared_ptr<runtime::Clock> clock,
                                                   boost::asio::any_io_executor executor,
                                                   double scale) {
  std::shared_ptr<SettingsGuide> guide(new SettingsGuide());
  guide->windows_ = std::move(windows);
  guide->panel_ = std::move(panel);
  guide->clock_ = std::move(clock);
  guide->executor_ = std::move(executor);
  guide->scale_ = scale;
  return guide;
}

SettingsGuide::~SettingsGuide() {
  follow_.cancel();
}

void SettingsGuide::show(Permission permission) {
  dismiss();
  panel_->create(permission);
  shown_ = true;
  place();
  // On screen even before a settings window is found; the next tick takes it off.
  panel_->orderFront();
  follow_ = everyTick(executor_, clock_, followPeriod, [weak = weak_from_this()] {
    auto guide = weak.lock();
    if (guide) guide->place();
    return guide != nullptr;
  });
}

void SettingsGuide::dismiss() {
  follow_.cancel();
  follow_ = {};
  if (!std::exchange(shown_, false)) return;
  panel_->fadeOut();
}

void SettingsGuide::place() {
  if (!shown_) return;
  const auto frame = settingsWindowFrame(windows_->snapshot());
  if (!frame) {
    panel_->orderOut();
    return;
  }
  const auto origin = guideOrigin(*frame, scale_);
  panel_->moveTo(origin.x, origin.y);
}

}  // namespace brindlet::app
