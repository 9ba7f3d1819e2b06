#include "app/qt/AppInterface.h"

#include <QApplication>
#include <QLabel>
#include <QWidget>

#include "app/core/OnboardingPages.h"
#include "app/core/PairingView.h"
#include "app/core/SettingsGuide.h"
#include "app/core/Shell.h"
#include "app/ui/GuidePanel.h"
#include "app/ui/OnboardingCards.h"
#include "app/ui/OnboardingWindow.h"
#include "app/ui/PairingWindow.h"
#include "app/ui/TrayHosts.h"
#include "app/ui/TrayIcon.h"
#include "design/Color.h"
#include "runtime/MainLoop.h"

namespace brindlet::app {

namespace {

using design::Appearance;
using design::SystemColor;

design::Rgba tintColor(Tint tint) {
  switch (tint) {
    case Tint::blue:
      return design::systemColor(SystemColor::blue, Appearance::dark);
    case Tint::purple:
      return {0.749, 0.353, 0.949, 1};
    case Tint::teal:
      return {0.251, 0.784, 0.878, 1};
    case Tint::green:
      return design::systemColor(SystemColor::green, Appearance::dark);
  }
  return design::systemColor(SystemColor::blue, Appearance::dark);
}

ui::MenuItem::Kind uiKind(MenuItem::Kind kind) {
  using K = MenuItem::Kind;
  using U = ui::MenuItem::Kind;
  switch (kind) {
    case K::text:
      return U::text;
    case K::label:
      return U::label;
    case K::button:
      return U::button;
    case K::toggle:
      return U::toggle;
    case K::picker:
      return U::picker;
    case K::section:
      return U::section;
    case K::submenu:
      return U::submenu;
    case K::divider:
      return U::divider;
  }
  return U::text;
}

ui::PermissionCardLook permissionLook(Permission permission, const ShellState& state) {
  const auto card = permissionCard(permission, state.granted, state.requested);
  return {card.symbol, card.name, card.status, card.statusGreen};
}

ui::ConnectCardLook connectLook(const ShellState& state, std::vector<MenuAction>& actions) {
  const auto card = connectCard(state.client, state.menu.nearby);
  ui::ConnectCardLook look;
  if (card.connected) {
    look.connected = ui::ConnectCardLook::Connected{card.title, card.detail};
  } else {
    look.heading = card.title;
  }
  actions.clear();
  for (const auto& row : card.rows) {
    look.rows.push_back({row.name, row.name, row.button, std::to_string(actions.size())});
    actions.push_back(row.action);
  }
  return look;
}

// The guide's panel on the Qt thread; the guide's logic stays on the main loop.
class QtGuidePanel final : public GuidePanel {
 public:
  explicit QtGuidePanel(ui::Post post) : post_(std::move(post)) {}

  void create(Permission permission) override {
    post_([this, permission] {
      if (panel_) panel_->deleteLater();
      panel_ = new ui::GuidePanel({guideHeadline(), guideMessage(permission)});
      origin_.reset();
    });
  }
  void moveTo(int x, int y) override {
    post_([this, x, y] {
      origin_ = QPoint(x, y);
      if (panel_) panel_->place(origin_);
    });
  }
  void orderFront() override {
    post_([this] {
      if (panel_ && origin_) panel_->place(origin_);
    });
  }
  void orderOut() override {
    post_([this] {
      if (panel_) panel_->place(std::nullopt);
    });
  }
  void fadeOut() override {
    post_([this] {
      if (panel_) panel_->dismiss();
      panel_ = nullptr;
    });
  }

 private:
  ui::Post post_;
  QPointer<ui::GuidePanel> panel_;
  std::optional<QPoint> origin_;
};

struct PostedWindow final : WindowPresenting {
  explicit PostedWindow(std::function<void()> show) : show_(std::move(show)) {}
  void show() override { show_(); }
  std::function<void()> show_;
};

struct PostedActivation final : AppActivating {
  explicit PostedActivation(std::function<void()> activate) : activate_(std::move(activate)) {}
  void activate() override { activate_(); }
  std::function<void()> activate_;
};

}  // namespace

std::vector<ui::MenuItem> trayItems(const std::vector<MenuItem>& items,
                                    std::vector<MenuAction>& actions) {
  std::vector<ui::MenuItem> out;
  for (const auto& item : items) {
    ui::MenuItem converted;
    converted.kind = uiKind(item.kind);
    converted.text = item.text;
    converted.symbol = item.symbol;
    converted.enabled = item.enabled;
    converted.checked = item.checked;
    converted.shortcut = item.shortcut;
    if (item.action.kind != MenuAction::Kind::none) {
      converted.action = std::to_string(actions.size());
      actions.push_back(item.action);
    }
    converted.children = trayItems(item.children, actions);
    out.push_back(std::move(converted));
  }
  return out;
}

AppInterface::AppInterface(runtime::MainLoop& loop, std::string display)
    : loop_(loop),
      display_(std::move(display)),
      toLoop_(ui::loopPost(loop)),
      onboarding_([this] { return buildOnboarding(); }),
      pairing_([this] { return buildPairing(); }) {}

AppInterface::~AppInterface() {
  if (states_) states_->end();
}

LinuxPlatform::Presenters AppInterface::presenters() {
  auto post = poster_.post();
  LinuxPlatform::Presenters presenters;
  presenters.onboarding =
      std::make_shared<PostedWindow>([post, this] { post([this] { showOnboarding(); }); });
  presenters.pairing =
      std::make_shared<PostedWindow>([post, this] { post([this] { showPairing(); }); });
  presenters.activator = std::make_shared<PostedActivation>([post, this] {
    post([this] {
      if (auto* window = onboarding_.window()) {
        window->raise();
        window->activateWindow();
      }
    });
  });
  presenters.guidePanel = std::make_shared<QtGuidePanel>(post);
  presenters.scale = qApp ? qApp->devicePixelRatio() : 1.0;
  return presenters;
}

void AppInterface::act(std::function<void(Shell&)> action) {
  toLoop_([shell = shell_, action = std::move(action)] { action(*shell); });
}

void AppInterface::attach(std::shared_ptr<Shell> shell) {
  shell_ = std::move(shell);
  menu_ = std::make_unique<ui::TrayMenu>(
      [this](const std::string& chosen) {
        const auto index = static_cast<std::size_t>(std::stoul(chosen));
        if (index >= menuActions_.size()) return;
        act([action = menuActions_[index]](Shell& shell) { shell.perform(action); });
      },
      [this] { act([](Shell& shell) { shell.refreshHooks(); }); });
  pairingPresenter_ = std::make_unique<ui::PairingPresenter<PairingState>>(
      shell_->pairing(),
      ui::PairingPresenter<PairingState>::Model{
          [this](const PairingState& pairing) {
            ui::PairingLook look;
            look.title = pairingTitle(pairing);
            look.message = pairingMessage(pairing, state_.menu.connectorError);
            look.mistake = pairingMessageIsMistake(pairing);
            look.pulse = pairingIconPulses(pairing);
            look.entering = codeFieldEnabled(pairing);
            look.phoneName = pairing ? pairing->phone.name : std::string();
            const auto action = pairingAction(pairing);
            look.action = action.kind == PairingActionElement::Kind::spinner
                              ? ui::PairingLook::Action::spinner
                          : action.title == "Cancel" ? ui::PairingLook::Action::cancel
                                                     : ui::PairingLook::Action::close;
            return look;
          },
          [](const PairingState& old, const PairingState& now) {
            const auto reaction = react(old, now);
            return ui::PairingReaction{reaction.close, reaction.clearCode || reaction.shake,
                                       reaction.focus};
          }},
      pairing_);
  // The first state arrives before the icon, so the menu never shows half a model.
  states_ = std::make_unique<ui::QtSnapshot<ShellState>>(
      shell_->state, [this](const ShellState& state) { showState(state); });
  state_ = shell_->state.get();
  menuActions_.clear();
  menu_->setItems(trayItems(menuItems(state_.menu), menuActions_));
  hosts_ = std::make_unique<ui::SystemTrayHosts>(loop_, display_);
  tray_ = std::make_unique<ui::TrayIcon>(*hosts_, *menu_);
}

void AppInterface::showState(const ShellState& state) {
  state_ = state;
  std::vector<MenuAction> actions;
  auto items = trayItems(menuItems(state.menu), actions);
  menuActions_ = std::move(actions);
  if (menu_) menu_->setItems(std::move(items));
  renderOnboarding(false);
}

QWidget* AppInterface::buildOnboarding() {
  shownStep_.reset();
  return new ui::OnboardingWindow(ui::OnboardingWindow::Actions{
      [this] {
        if (auto to = backButton(state_.step).to) {
          act([to = *to](Shell& shell) { shell.go(to, false); });
        }
      },
      [this] { onboardingMain(); }, [this] { act([](Shell& shell) { shell.setPolling(true); }); },
      [this] { act([](Shell& shell) { shell.setPolling(false); }); }});
}

void AppInterface::onboardingMain() {
  const auto button = mainButton(state_.step, state_.granted, state_.client.has_value());
  switch (button.does) {
    case MainButton::Does::next:
      act([](Shell& shell) { shell.next(); });
      return;
    case MainButton::Does::request:
      if (auto permission = permissionOf(state_.step)) {
        act([permission = *permission](Shell& shell) { shell.request(permission); });
      }
      return;
    case MainButton::Does::finish:
      act([](Shell& shell) { shell.finish(); });
      if (auto* window = onboarding_.window()) window->close();
      return;
  }
}

QWidget* AppInterface::buildPairing() {
  auto* window = new ui::PairingWindow(
      [](const std::string& old, const std::string& typed) {
        const auto change = filterCode(old, typed);
        return ui::PairingCodeField::Filtered{change.code, change.submit};
      },
      [this](const std::string& code) { act([code](Shell& shell) { shell.submit(code); }); },
      [this] { act([](Shell& shell) { shell.cancelPairing(); }); });
  if (pairingPresenter_) pairingPresenter_->dress(*window);
  return window;
}

void AppInterface::showOnboarding() {
  onboarding_.show();
  renderOnboarding(true);
}

void AppInterface::showPairing() {
  pairing_.show();
}

QWidget* AppInterface::pageContent() {
  const auto page = pageOf(state_.step);
  switch (page.content) {
    case PageContent::setupTime:
      return new QLabel(QString::fromStdString(std::string(setupTimeText)));
    case PageContent::screenRecordingCard:
      return new ui::PermissionCard(permissionLook(Permission::screenRecording, state_));
    case PageContent::accessibilityCard:
      return new ui::PermissionCard(permissionLook(Permission::accessibility, state_));
    case PageContent::connectCard: {
      auto* card = new ui::ConnectCard([this](const std::string& chosen) {
        std::vector<MenuAction> actions;
        connectLook(state_, actions);
        const auto index = static_cast<std::size_t>(std::stoul(chosen));
        if (index < actions.size()) {
          act([action = actions[index]](Shell& shell) { shell.perform(action); });
        }
      });
      std::vector<MenuAction> actions;
      card->setLook(connectLook(state_, actions));
      return card;
    }
    case PageContent::readyCard: {
      ui::ReadyCardLook look;
      for (const auto& tip : readyTips)
        look.tips.push_back({std::string(tip.symbol), std::string(tip.text)});
      look.launchText = launchAtLoginSwitchTitle();
      look.followText = std::string(followWindowsSwitchTitle);
      auto* card = new ui::ReadyCard(
          look, [this](bool on) { act([on](Shell& shell) { shell.setLaunchAtLogin(on); }); },
          [this](bool on) {
            act([on](Shell& shell) {
              shell.perform(
                  MenuAction(MenuAction::Kind::followWindows, std::nullopt, std::nullopt, on));
            });
          });
      card->setSwitches(state_.wantsLaunchAtLogin, state_.menu.followWindows);
      return card;
    }
  }
  return nullptr;
}

void AppInterface::renderOnboarding(bool fresh) {
  auto* window = static_cast<ui::OnboardingWindow*>(onboarding_.window());
  if (!window) return;
  if (fresh || shownStep_ != state_.step) {
    const auto page = pageOf(state_.step);
    card_ = pageContent();
    window->showPage(
        {rawValue(state_.step), page.symbol, tintColor(page.tint), page.title, page.message}, card_,
        state_.forward);
    shownStep_ = state_.step;
  } else if (auto* permission = dynamic_cast<ui::PermissionCard*>(card_.data())) {
    if (auto which = permissionOf(state_.step)) permission->setLook(permissionLook(*which, state_));
  } else if (auto* connect = dynamic_cast<ui::ConnectCard*>(card_.data())) {
    std::vector<MenuAction> actions;
    connect->setLook(connectLook(state_, actions));
  } else if (auto* ready = dynamic_cast<ui::ReadyCard*>(card_.data())) {
    ready->setSwitches(state_.wantsLaunchAtLogin, state_.menu.followWindows);
  }
  const auto back = backButton(state_.step);
  const auto main = mainButton(state_.step, state_.granted, state_.client.has_value());
  window->setBar({back.visible, main.title});
}

}  // namespace brindlet::app
