#include "app/core/Onboarding.h"

#include <exception>
#include <string>
#include <utility>

#include <boost/asio/this_coro.hpp>

#include "app/core/EveryTick.h"
#include "runtime/Log.h"
#include "runtime/OneShot.h"

namespace brindlet::app {
namespace {

const runtime::Logger& logger() {
  return runtime::Logger::of("onboarding");
}

// Asks the checker and hands its answer over; a failure reads as not granted.
boost::asio::awaitable<void> ask(std::shared_ptr<PermissionChecking> checker, Permission permission,
                                 bool request, std::shared_ptr<runtime::OneShot<bool>> answer) {
  bool granted = false;
  try {
    if (request) {
      co_await checker->request(permission);
    } else {
      granted = co_await checker->isGranted(permission);
    }
  } catch (const std::exception&) {
  }
  answer->resume(granted);
}

boost::asio::awaitable<void> expire(std::shared_ptr<runtime::Clock> clock, runtime::Duration limit,
                                    std::shared_ptr<runtime::OneShot<bool>> answer) {
  co_await clock->sleep(limit);
  answer->resume(false);
}

// The one line a finish shows when something was not kept: the settings first, as without them
// setup starts over at the next launch.
std::string finishFailure(const runtime::SaveFailure& saved, bool launch,
                          const std::string& loginFailure) {
  if (saved) return "Couldn't save your settings: " + *saved;
  if (loginFailure.empty()) return {};
  return std::string("Couldn't turn ") + (launch ? "on" : "off") +
         " Launch at login: " + loginFailure;
}

}  // namespace

LoginItemError::LoginItemError(std::string description)
    : runtime::Error(runtime::ErrorText("failed").text("", description)),
      description_(std::move(description)) {}

int rawValue(Step step) {
  return static_cast<int>(step);
}

std::optional<Step> stepFrom(std::int64_t raw) {
  if (raw < 0 || raw >= stepCount) return std::nullopt;
  return static_cast<Step>(raw);
}

std::optional<Permission> permissionOf(Step step) {
  if (step == Step::screenRecording) return Permission::screenRecording;
  if (step == Step::accessibility) return Permission::accessibility;
  return std::nullopt;
}

Onboarding::Onboarding(Roles roles, boost::asio::any_io_executor executor)
    : roles_(std::move(roles)), executor_(std::move(executor)) {}

Onboarding::~Onboarding() {
  poll_.cancel();
  advancing_.cancel();
}

boost::asio::awaitable<std::shared_ptr<Onboarding>> Onboarding::create(Roles roles) {
  auto executor = co_await boost::asio::this_coro::executor;
  std::shared_ptr<Onboarding> model(new Onboarding(std::move(roles), executor));
  const auto stored = model->roles_.defaults->integer(stepKey).value_or(0);
  model->step.set(stepFrom(stored).value_or(Step::welcome));
  if (model->roles_.defaults->boolean(completeKey).value_or(false)) {
    const bool enabled = co_await model->roles_.loginItem->isEnabled();
    model->loginItemReads_ = enabled;
    model->wantsLaunchAtLogin.set(enabled);
  }
  co_await model->refresh();
  co_return model;
}

void Onboarding::restart() {
  roles_.defaults->setInteger(stepKey, 0);
  saveFailure.set({});
  step.set(Step::welcome);
}

// The first answer wins: the checker's, or "not granted" once the limit has passed. A check
// left behind is cancelled and its late answer dropped.
boost::asio::awaitable<bool> Onboarding::checkBounded(Permission permission, bool request) {
  auto answer = runtime::OneShot<bool>::make();
  auto asking = runtime::spawn(executor_, ask(roles_.checker, permission, request, answer));
  auto timer = runtime::spawn(executor_, expire(roles_.clock, checkLimit, answer));
  const bool granted = co_await answer->wait();
  asking.cancel();
  timer.cancel();
  co_return granted;
}

boost::asio::awaitable<void> Onboarding::refresh() {
  auto self = shared_from_this();
  Permissions now;
  for (const auto permission : allPermissions) {
    if (co_await checkBounded(permission, false)) now.insert(permission);
  }
  const auto before = granted.get();
  captureLacking.set(roles_.checker->lacking(Permission::screenRecording));
  granted.set(now);
  const auto shown = permissionOf(step.get());
  if (!shown || !now.count(*shown) || before.count(*shown)) co_return;
  roles_.guide->dismiss();
  roles_.activator->activate();
  // An earlier advance is replaced, not cancelled: it checks the step itself.
  advancing_ = runtime::spawn(executor_, advanceAfterGrant(weak_from_this(), roles_.clock, *shown));
}

boost::asio::awaitable<void> Onboarding::advanceAfterGrant(std::weak_ptr<Onboarding> weak,
                                                           std::shared_ptr<runtime::Clock> clock,
                                                           Permission permission) {
  co_await clock->sleep(advanceDelay);
  auto self = weak.lock();
  if (!self || permissionOf(self->step.get()) != permission) co_return;
  co_await self->next();
}

void Onboarding::startPolling() {
  poll_.cancel();
  poll_ = everyTick(executor_, roles_.clock, pollPeriod, [weak = weak_from_this()] {
    auto self = weak.lock();
    if (self) self->pollTick();
    return self != nullptr;
  });
}

void Onboarding::stopPolling() {
  poll_.cancel();
  poll_ = {};
  roles_.guide->dismiss();
}

void Onboarding::pollTick() {
  if (checking_) return;
  checking_ = true;
  auto check = [](std::shared_ptr<Onboarding> model) -> boost::asio::awaitable<void> {
    try {
      co_await model->refresh();
    } catch (...) {
      model->checking_ = false;
      throw;
    }
    model->checking_ = false;
  };
  runtime::spawn(executor_, check(shared_from_this()));
}

boost::asio::awaitable<void> Onboarding::request(Permission permission) {
  auto self = shared_from_this();
  co_await checkBounded(permission, true);
  auto asked = requested.get();
  asked.insert(permission);
  requested.set(std::move(asked));
  roles_.opener->open(settingsURL(permission));
  roles_.guide->show(permission);
  logger().info("Requested %s", std::string(rawValue(permission)).c_str());
}

void Onboarding::go(Step to, bool forwards) {
  advancing_.cancel();
  roles_.guide->dismiss();
  forward.set(forwards);
  saveFailure.set({});
  step.set(to);
  roles_.defaults->setInteger(stepKey, rawValue(to));
}

boost::asio::awaitable<void> Onboarding::next() {
  if (auto following = stepFrom(rawValue(step.get()) + 1)) {
    go(*following, true);
  } else {
    co_await finish();
  }
}

boost::asio::awaitable<void> Onboarding::finish(std::function<void()> written) {
  auto self = shared_from_this();
  const bool wanted = wantsLaunchAtLogin.get();
  std::string loginFailure;
  if (loginItemReads_ != wanted) loginFailure = co_await setLaunchAtLogin(wanted);
  roles_.defaults->setBoolean(completeKey, true);
  roles_.defaults->remove(stepKey);
  roles_.guide->dismiss();
  const auto saved = co_await roles_.defaults->save();
  saveFailure.set(finishFailure(saved, wanted, loginFailure));
  if (saveFailure.get().empty() && written) written();
}

boost::asio::awaitable<std::string> Onboarding::setLaunchAtLogin(bool enabled) {
  std::string failure;
  try {
    co_await roles_.loginItem->setEnabled(enabled);
    loginItemReads_ = enabled;
  } catch (const LoginItemError& error) {
    failure = error.description();
  }
  if (!failure.empty()) logger().error("Launch at login: %s", failure.c_str());
  co_return failure;
}

}  // namespace brindlet::app
