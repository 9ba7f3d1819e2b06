#include "app/core/Shell.h"

#include "app/core/HostModel.h"
#include "app/core/Onboarding.h"
#include "app/core/Platform.h"
#include "session/HostSession.h"
#include "session/InputInjector.h"
#include "session/PhoneConnector.h"
#include "session/WindowFollower.h"
#include "streaming/VirtualDisplayManager.h"
#include "transport/HostTransport.h"

namespace brindlet::app {

namespace asio = boost::asio;

namespace {

constexpr const char* followKey = "openWindowsOnPhone";

asio::awaitable<void> showPairing(std::shared_ptr<session::PhoneConnector> connector,
                                  transport::NearbyPhone phone) {
  co_await connector->requestPairing(std::move(phone));
}

asio::awaitable<void> connectTo(std::shared_ptr<session::PhoneConnector> connector,
                                transport::NearbyPhone phone) {
  co_await connector->connect(std::move(phone));
}

asio::awaitable<void> forgetPhone(std::shared_ptr<transport::HostTransport> transport,
                                  std::string uid) {
  co_await transport->forget(std::move(uid));
}

}  // namespace

template <class T>
void Shell::watch(runtime::Observable<T>& source) {
  subscriptions_.push_back(source.subscribe([this](const T&) { compose(); }));
}

Shell::Shell(asio::any_io_executor loop, std::shared_ptr<HostModel> model,
             std::function<void()> quit)
    : model_(std::move(model)), quit_(std::move(quit)), tasks_(std::move(loop)) {
  auto& m = *model_;
  // A connect's failure no longer stands once a phone is connected; left in place it would
  // show again after the phone leaves, as though the last attempt had failed.
  subscriptions_.push_back(m.session->client.subscribe(
      [connector = m.connector](const std::optional<session::HostSession::Client>& client) {
        if (client) connector->error.set(std::nullopt);
      }));
  watch(m.session->client);
  watch(m.session->lastError);
  watch(m.session->needsAccessibility);
  subscriptions_.push_back(
      m.session->subscribeQuality([this](const streaming::VideoQuality&) { compose(); }));
  watch(m.connector->nearby);
  watch(m.connector->error);
  watch(m.connector->pairing);
  watch(m.onboarding->step);
  watch(m.onboarding->forward);
  watch(m.onboarding->granted);
  watch(m.onboarding->requested);
  watch(m.onboarding->captureLacking);
  watch(m.onboarding->wantsLaunchAtLogin);
  watch(m.onboarding->saveFailure);
  watch(updater_.canCheck);
  watch(agentsMenu_.claudeConnected);
  watch(agentsMenu_.error);
  followWatch_ = m.defaults->observe(followKey, [this] { compose(); });
  compose();
  // The menu's first opening shows the hooks as they are, not the unread default.
  refreshHooks();
}

Shell::~Shell() {
  stop();
}

void Shell::stop() {
  subscriptions_.clear();
  followWatch_.reset();
  tasks_.cancelAll();
}

runtime::Observable<PairingState>& Shell::pairing() {
  return model_->connector->pairing;
}

void Shell::compose() {
  const auto& m = *model_;
  ShellState next;
  auto& menu = next.menu;
  menu.displayUnavailable = !m.displays->availability().isAvailable();
  if (auto client = m.session->client.get()) {
    menu.client = MenuState::Client{client->hello.name, client->route.kind};
    next.client = ConnectedPhone{client->hello.name, client->route.kind};
  }
  menu.lastError = m.session->lastError.get();
  menu.needsAccessibility = m.session->needsAccessibility.get();
  menu.quality = m.session->quality();
  menu.followWindows = m.follower->isEnabled();
  menu.nearby = m.connector->nearby.get();
  menu.connectorError = m.connector->error.get();
  menu.canCheck = updater_.canCheck.get();
  menu.claudeConnected = agentsMenu_.claudeConnected.get();
  menu.agentsError = agentsMenu_.error.get();
  next.step = m.onboarding->step.get();
  next.forward = m.onboarding->forward.get();
  next.granted = m.onboarding->granted.get();
  next.requested = m.onboarding->requested.get();
  next.captureLacking = m.onboarding->captureLacking.get();
  next.wantsLaunchAtLogin = m.onboarding->wantsLaunchAtLogin.get();
  next.saveFailure = m.onboarding->saveFailure.get();
  next.pairing = m.connector->pairing.get();
  state.set(std::move(next));
}

void Shell::run(asio::awaitable<void> work) {
  tasks_.spawn(std::move(work));
}

void Shell::perform(MenuAction action) {
  auto& m = *model_;
  using Kind = MenuAction::Kind;
  switch (action.kind) {
    case Kind::none:
      return;
    case Kind::setUp:
      m.onboarding->restart();
      m.onboardingWindow->show();
      return;
    case Kind::checkForUpdates:
      updater_.checkForUpdates();
      return;
    case Kind::quit:
      if (quit_) quit_();
      return;
    case Kind::openAccessibilitySettings:
      session::openAccessibilitySettings();
      return;
    case Kind::followWindows:
      m.follower->setEnabled(action.on);
      return;
    case Kind::chooseQuality:
      if (action.quality) m.session->setQuality(*action.quality);
      return;
    case Kind::connect:
      if (action.phone) run(connectTo(m.connector, std::move(*action.phone)));
      return;
    case Kind::pair:
      if (!action.phone) return;
      m.pairingWindow->show();
      run(showPairing(m.connector, std::move(*action.phone)));
      return;
    case Kind::forget:
      // A phone without a uid has no key to forget.
      if (action.phone && action.phone->uid) run(forgetPhone(m.transport, *action.phone->uid));
      return;
    case Kind::connectClaude:
      run(agentsMenu_.apply(AgentsMenu::Change::install));
      return;
    case Kind::disconnectClaude:
      run(agentsMenu_.apply(AgentsMenu::Change::uninstall));
      return;
  }
}

void Shell::refreshHooks() {
  run(agentsMenu_.refresh());
}

void Shell::go(Step to, bool forward) {
  model_->onboarding->go(to, forward);
}

void Shell::next() {
  run(model_->onboarding->next());
}

void Shell::request(Permission permission) {
  run(model_->onboarding->request(permission));
}

void Shell::finish(std::function<void()> written) {
  run(model_->onboarding->finish(std::move(written)));
}

void Shell::setPolling(bool on) {
  if (on) {
    model_->onboarding->startPolling();
  } else {
    model_->onboarding->stopPolling();
  }
}

void Shell::setLaunchAtLogin(bool on) {
  model_->onboarding->wantsLaunchAtLogin.set(on);
}

void Shell::submit(std::string code) {
  run(model_->connector->submit(std::move(code)));
}

void Shell::cancelPairing() {
  run(model_->connector->cancelPairing());
}

}  // namespace brindlet::app
