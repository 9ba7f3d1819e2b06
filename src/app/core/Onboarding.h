#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/awaitable.hpp>

#include "app/core/Permission.h"
#include "app/core/ShellRoles.h"
#include "runtime/Clock.h"
#include "runtime/Defaults.h"
#include "runtime/Observable.h"
#include "runtime/Task.h"

namespace brindlet::app {

// The first-run steps, in page order.
enum class Step { welcome, screenRecording, accessibility, connect, ready };
inline constexpr int stepCount = 5;

int rawValue(Step step);
// 0 to 4 only.
std::optional<Step> stepFrom(std::int64_t raw);
// The permission a step asks for, if it is a permission step.
std::optional<Permission> permissionOf(Step step);

// The state machine behind the first-run window: the step shown, the permissions granted and
// requested, and the launch-at-login choice. The step reached and whether setup was completed
// survive a restart in the user's defaults. Lives on the main loop; its timer and its pending
// advance hold it weakly.
class Onboarding : public std::enable_shared_from_this<Onboarding> {
 public:
  struct Roles {
    std::shared_ptr<PermissionChecking> checker;
    std::shared_ptr<runtime::Defaults> defaults;
    std::shared_ptr<SettingsGuiding> guide;
    std::shared_ptr<AppActivating> activator;
    std::shared_ptr<SettingsOpening> opener;
    std::shared_ptr<LoginItem> loginItem;
    std::shared_ptr<runtime::Clock> clock;
  };

  static constexpr const char* stepKey = "onboardingStep";
  static constexpr const char* completeKey = "onboardingComplete";
  // A check or request that takes longer counts as not granted.
  static constexpr runtime::Duration checkLimit = std::chrono::seconds(1);
  static constexpr runtime::Duration pollPeriod = std::chrono::milliseconds(500);
  static constexpr runtime::Duration advanceDelay = std::chrono::milliseconds(1100);

  // Starts at the stored step; after a completed setup the launch-at-login choice is what the
  // login item says. Ends with one refresh, so a permission granted on its own step advances.
  static boost::asio::awaitable<std::shared_ptr<Onboarding>> create(Roles roles);
  ~Onboarding();
  Onboarding(const Onboarding&) = delete;
  Onboarding& operator=(const Onboarding&) = delete;

  runtime::Observable<Step> step{Step::welcome};
  runtime::Observable<Permissions> granted;
  // What screen capture lacks, as the last refresh found it (the screen card names it).
  runtime::Observable<std::vector<std::string>> captureLacking;
  // Asked for in this run; never shrinks.
  runtime::Observable<Permissions> requested;
  // The direction of the last step change.
  runtime::Observable<bool> forward{true};
  runtime::Observable<bool> wantsLaunchAtLogin{true};
  // Why the last finish could not keep the settings or the launch-at-login choice, in one line;
  // empty when it could, and again at the next step change.
  runtime::Observable<std::string> saveFailure;

  // Back to the welcome page, stored.
  void restart();
  // Reads both permissions; a grant of the shown step's permission advances 1.1 s later.
  boost::asio::awaitable<void> refresh();
  // While the window is on screen: a refresh every 0.5 s, skipped while one is still out.
  void startPolling();
  // When the window leaves the screen: the poll stops and the guide goes.
  void stopPolling();
  bool isPolling() const { return static_cast<bool>(poll_) && !poll_.isFinished(); }
  // Asks for the permission, opens its pane and shows the guide.
  boost::asio::awaitable<void> request(Permission permission);
  void go(Step to, bool forward);
  // The main button's "next": the following step, or finish() after the last.
  boost::asio::awaitable<void> next();
  // Applies the launch-at-login choice and marks setup complete; once both are kept `written`
  // runs, and otherwise saveFailure says what was not. A switch that stands as the login item was
  // read leaves the item alone: an entry read as off may still be one the user keeps, and only
  // the user turning the switch off removes one.
  boost::asio::awaitable<void> finish(std::function<void()> written = nullptr);
  // Registers or unregisters the login item; a failure is logged and answered, not thrown: its
  // description, empty when the item was set.
  boost::asio::awaitable<std::string> setLaunchAtLogin(bool enabled);

 private:
  Onboarding(Roles roles, boost::asio::any_io_executor executor);

  boost::asio::awaitable<bool> checkBounded(Permission permission, bool request);
  // Starts a refresh unless the last one is still out.
  void pollTick();
  static boost::asio::awaitable<void> advanceAfterGrant(std::weak_ptr<Onboarding> weak,
                                                        std::shared_ptr<runtime::Clock> clock,
                                                        Permission permission);

  Roles roles_;
  boost::asio::any_io_executor executor_;
  runtime::TaskHandle poll_;
  runtime::TaskHandle advancing_;
  bool checking_ = false;  // a poll's refresh is still out
  // What the login item was last read as or set to; none before a setup was completed.
  std::optional<bool> loginItemReads_;
};

}  // namespace brindlet::app
