#include "app/qt/AppInterface.h"

#include <QApplication>

#include <utility>

#include "app/core/SettingsGuide.h"
#include "app/core/Shell.h"
#include "app/ui/Shell.h"
#include "app/ui/TrayHosts.h"

namespace brindlet::app {

namespace {

using Forward = std::function<void(std::function<void(ui::Shell&)>)>;

struct ForwardedWindow final : WindowPresenting {
  ForwardedWindow(Forward forward, void (ui::Shell::*show)())
      : forward_(std::move(forward)), show_(show) {}
  void show() override {
    forward_([show = show_](ui::Shell& shell) { (shell.*show)(); });
  }
  Forward forward_;
  void (ui::Shell::*show_)();
};

struct ForwardedActivation final : AppActivating {
  explicit ForwardedActivation(Forward forward) : forward_(std::move(forward)) {}
  void activate() override {
    forward_([](ui::Shell& shell) { shell.activator()->activate(); });
  }
  Forward forward_;
};

// The guide's panel: each step goes to the interface's panel in order.
struct ForwardedPanel final : GuidePanel {
  explicit ForwardedPanel(Forward forward) : forward_(std::move(forward)) {}
  void create(Permission permission) override {
    forward_([permission](ui::Shell& shell) { shell.guidePanel()->create(permission); });
  }
  void moveTo(int x, int y) override {
    forward_([x, y](ui::Shell& shell) { shell.guidePanel()->moveTo(x, y); });
  }
  void orderFront() override {
    forward_([](ui::Shell& shell) { shell.guidePanel()->orderFront(); });
  }
  void orderOut() override {
    forward_([](ui::Shell& shell) { shell.guidePanel()->orderOut(); });
  }
  void fadeOut() override {
    forward_([](ui::Shell& shell) { shell.guidePanel()->fadeOut(); });
  }
  Forward forward_;
};

}  // namespace

AppInterface::AppInterface(runtime::MainLoop& loop, std::string display)
    : loop_(loop), display_(std::move(display)) {}

AppInterface::~AppInterface() = default;

void AppInterface::onInterface(std::function<void(ui::Shell&)> call) {
  poster_.post()([this, call = std::move(call)] {
    // Qt's event loop runs while the models are built.
    if (interface_) {
      call(*interface_);
    } else {
      waiting_.push_back(call);
    }
  });
}

LinuxPlatform::Presenters AppInterface::presenters() {
  Forward forward = [this](std::function<void(ui::Shell&)> call) { onInterface(std::move(call)); };
  LinuxPlatform::Presenters presenters;
  presenters.onboarding = std::make_shared<ForwardedWindow>(forward, &ui::Shell::showOnboarding);
  presenters.pairing = std::make_shared<ForwardedWindow>(forward, &ui::Shell::showPairing);
  presenters.activator = std::make_shared<ForwardedActivation>(forward);
  presenters.guidePanel = std::make_shared<ForwardedPanel>(forward);
  presenters.scale = qApp ? qApp->devicePixelRatio() : 1.0;
  return presenters;
}

void AppInterface::attach(std::shared_ptr<Shell> shell) {
  shell_ = std::move(shell);
  hosts_ = std::make_unique<ui::SystemTrayHosts>(loop_, display_);
  interface_ = std::make_unique<ui::Shell>(
      loop_, *shell_, ui::Shell::Sources{shell_->state, shell_->pairing()}, *hosts_);
  for (auto& call : std::exchange(waiting_, {})) call(*interface_);
}

}  // namespace brindlet::app
