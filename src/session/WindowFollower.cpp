#include "session/WindowFollower.h"

#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <string_view>

#include <boost/system/system_error.hpp>

#include "desktop/DesktopError.h"

namespace brindlet::session {
namespace {

constexpr std::string_view kEnabledKey = "openWindowsOnPhone";
// Kept clear at the display's top (a panel may sit there), and in total across and down.
constexpr double kTopPoints = 30;
constexpr double kSideMarginPoints = 24;
constexpr double kBottomMarginPoints = 12;

int pixels(double value) {
  return static_cast<int>(std::lround(value));
}

bool isMovableType(const std::vector<std::string>& types) {
  // The first type is the one the window prefers; the rest are fallbacks for older managers.
  return types.empty() || types.front() == "normal" || types.front() == "dialog";
}

}  // namespace

std::optional<FocusedWindow> focusedWindow(const desktop::WindowSnapshot& snapshot,
                                           std::int32_t ownPid) {
  const desktop::WindowInfo* window = snapshot.activeWindow();
  if (!window || window->pid == ownPid) return std::nullopt;
  return FocusedWindow{window->id, window->frame(), isMovableType(window->types),
                       window->fullScreen};
}

std::optional<desktop::Rect> fit(int width, int height, const DisplayRect& target) {
  const double s = target.scale;
  const double areaTop = target.minY() + kTopPoints * s;
  const double areaHeight = target.height() - kTopPoints * s;
  const double newWidth = std::min<double>(width, target.width() - kSideMarginPoints * s);
  const double newHeight = std::min<double>(height, areaHeight - kBottomMarginPoints * s);
  if (pixels(newWidth) <= 0 || pixels(newHeight) <= 0) return std::nullopt;
  const double x = target.midX() - newWidth * 0.5;
  const double y = areaTop + std::max(0.0, (areaHeight - newHeight) * 0.5);
  return desktop::Rect{pixels(x), pixels(y), pixels(newWidth), pixels(newHeight)};
}

WindowFollower::WindowFollower(Options options)
    : loop_(std::move(options.loop)),
      windows_(options.windows),
      clock_(std::move(options.clock)),
      defaults_(options.defaults),
      scale_(std::move(options.scale)),
      ownPid_(options.ownPid.value_or(static_cast<std::int32_t>(::getpid()))) {}

WindowFollower::~WindowFollower() {
  // The watch sees the follower gone when its sleep ends, which this makes happen at once.
  alive_.reset();
  watch_.cancel();
}

bool WindowFollower::isEnabled() const {
  return defaults_.boolean(kEnabledKey).value_or(true);
}

void WindowFollower::setEnabled(bool enabled) {
  defaults_.setBoolean(kEnabledKey, enabled);
}

void WindowFollower::arm(desktop::Rect target) {
  if (!isEnabled()) return;
  target_ = DisplayRect{target, scale_()};
  const auto window = focused();
  baseline_ = window ? std::optional(window->token) : std::nullopt;
  deadline_ = clock_->now() + kWatchTime;
  // A running watch goes on with the new target, baseline and deadline.
  if (!watch_) watch_ = runtime::spawn(loop_, watch(alive_));
}

std::optional<FocusedWindow> WindowFollower::focused() const {
  const auto snapshot = windows_.snapshot();
  return focusedWindow(snapshot, ownPid_);
}

boost::asio::awaitable<void> WindowFollower::watch(std::weak_ptr<int> alive) {
  // The clock may go with the follower; the watch keeps it until its last sleep.
  const std::shared_ptr<runtime::Clock> clock = clock_;
  while (!alive.expired()) {
    const bool goOn = co_await step(alive);
    if (!goOn) break;
    try {
      co_await clock->sleep(kPollInterval);
    } catch (const boost::system::system_error&) {
      // Only the follower's end cancels the watch, and the loop's condition then ends it.
    }
  }
  if (!alive.expired()) watch_ = {};
}

boost::asio::awaitable<bool> WindowFollower::step(const std::weak_ptr<int>& alive) {
  if (clock_->now() >= deadline_ || !target_) co_return false;
  const auto window = focused();
  if (!window || baseline_ == window->token) co_return true;
  // Each window is looked at once, moved or not.
  baseline_ = window->token;
  const desktop::Rect& f = window->frame;
  const Point centre{f.x + f.width / 2.0, f.y + f.height / 2.0};
  if (!window->isMovable || window->isFullScreen || target_->contains(centre)) co_return true;
  // A display too small for any window leaves the window where it is.
  const auto frame = fit(f.width, f.height, *target_);
  if (!frame) co_return true;
  try {
    co_await windows_.moveResize(window->token, *frame);
  } catch (const desktop::DesktopError&) {
    // The window went while it was being moved: nothing was moved.
    co_return !alive.expired();
  }
  if (alive.expired()) co_return false;
  log_.info("Moved a new window onto the phone's display");
  co_return true;
}

}  // namespace brindlet::session
