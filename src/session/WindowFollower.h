#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/awaitable.hpp>

#include "desktop/WindowSystem.h"
#include "runtime/Clock.h"
#include "runtime/Defaults.h"
#include "runtime/Log.h"
#include "runtime/Task.h"
#include "session/InputEvent.h"
#include "session/WindowFollowing.h"

namespace brindlet::session {

// The window in front as the follower sees it: the window manager's active window, with its
// frame decorations counted.
struct FocusedWindow {
  desktop::WindowId token = 0;
  desktop::Rect frame;
  bool isMovable = false;  // an ordinary window or a dialog, not a panel, menu or desktop
  bool isFullScreen = false;
  friend bool operator==(const FocusedWindow&, const FocusedWindow&) = default;
};

// The active window of the snapshot, unless it belongs to the process `ownPid`: this system's
// own windows never move.
std::optional<FocusedWindow> focusedWindow(const desktop::WindowSnapshot& snapshot,
                                           std::int32_t ownPid);

// Where a window of the size goes on the phone's display: below the display's top 30 points,
// at most 24 points narrower and 12 points lower than what is left, centred. Nothing when the
// display is too small to leave the window any area.
std::optional<desktop::Rect> fit(int width, int height, const DisplayRect& target);

// For four seconds after each arming, watches for a newly focused window of another app and
// moves it onto the phone's display when it is elsewhere. Lives on the main loop.
class WindowFollower final : public WindowFollowing {
 public:
  static constexpr runtime::Duration kWatchTime = std::chrono::seconds(4);
  static constexpr runtime::Duration kPollInterval = std::chrono::milliseconds(150);

  struct Options {
    boost::asio::any_io_executor loop;
    desktop::WindowSystem& windows;
    std::shared_ptr<runtime::Clock> clock;
    runtime::Defaults& defaults;
    // The phone display's pixels per point, read at each arming.
    std::function<double()> scale = [] { return 1.0; };
    // Windows of this process are never moved; this process unless a test says otherwise.
    std::optional<std::int32_t> ownPid = std::nullopt;
  };

  explicit WindowFollower(Options options);
  ~WindowFollower() override;
  WindowFollower(const WindowFollower&) = delete;
  WindowFollower& operator=(const WindowFollower&) = delete;

  bool isEnabled() const override;
  void setEnabled(bool enabled) override;
  void arm(desktop::Rect target) override;

  bool isWatching() const { return static_cast<bool>(watch_); }
  const std::optional<DisplayRect>& target() const { return target_; }
  std::optional<desktop::WindowId> baseline() const { return baseline_; }

 private:
  boost::asio::awaitable<void> watch(std::weak_ptr<int> alive);
  // One look at the focused window; whether to go on watching.
  boost::asio::awaitable<bool> step(const std::weak_ptr<int>& alive);
  std::optional<FocusedWindow> focused() const;

  boost::asio::any_io_executor loop_;
  desktop::WindowSystem& windows_;
  std::shared_ptr<runtime::Clock> clock_;
  runtime::Defaults& defaults_;
  std::function<double()> scale_;
  std::int32_t ownPid_;
  std::optional<DisplayRect> target_;
  std::optional<desktop::WindowId> baseline_;
  runtime::Clock::TimePoint deadline_{};
  runtime::TaskHandle watch_;
  // Expires with the follower: a watch that outlives it ends without touching it.
  std::shared_ptr<int> alive_ = std::make_shared<int>(0);
  const runtime::Logger& log_ = runtime::Logger::of("windows");
};

}  // namespace brindlet::session
