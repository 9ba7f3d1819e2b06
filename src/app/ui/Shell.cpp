#include "app/ui/Shell.h"

#include <QGuiApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QScreen>
#include <QShortcut>

#include "app/ui/CoveredWindows.h"
#include "app/ui/GuidePanel.h"
#include "app/ui/Look.h"
#include "app/ui/OnboardingCards.h"
#include "app/ui/OnboardingWindow.h"
#include "app/ui/PairingWindow.h"
#include "app/ui/ShellLooks.h"
#include "design/Painting.h"

namespace brindlet::app::ui {

namespace {

// The welcome page's line under its message: how long setting up takes.
QWidget* setupTimeRow() {
  auto* row = new QWidget;
  auto* layout = new QHBoxLayout(row);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->addStretch();
  const QColor quiet = design::toQColor(
      design::systemColor(design::SystemColor::secondaryLabel, design::Appearance::dark));
  layout->addWidget(new SymbolView("clock", pixelSizeOf(TextStyle::body), quiet, row));
  auto* text =
      new QLabel(QString::fromUtf8(setupTimeText.data(), qsizetype(setupTimeText.size())), row);
  text->setFont(fontOf(TextStyle::callout));
  QPalette palette = text->palette();
  palette.setColor(QPalette::WindowText, quiet);
  text->setPalette(palette);
  layout->addWidget(text);
  layout->addStretch();
  return row;
}

// A position of the window system (root pixels) in Qt's device-independent pixels.
QPoint fromRootPixels(int x, int y) {
  const QScreen* screen = QGuiApplication::primaryScreen();
  const double ratio = screen ? screen->devicePixelRatio() : 1;
  return {int(std::lround(x / ratio)), int(std::lround(y / ratio))};
}

}  // namespace

class Shell::Activator : public AppActivating {
 public:
  Activator(Post post, Shell* shell) : post_(std::move(post)), shell_(shell) {}
  // Brings the onboarding window in front when it is open; opens nothing.
  void activate() override {
    post_([shell = shell_] {
      if (OnboardingWindow* window = shell->onboardingWindow()) {
        window->raise();
        window->activateWindow();
      }
    });
  }

 private:
  Post post_;
  Shell* shell_;
};

class Shell::Panel : public app::GuidePanel {
 public:
  Panel(Post post, Shell* shell) : post_(std::move(post)), shell_(shell) {}
  void create(Permission permission) override {
    post_([shell = shell_, permission] { shell->createGuide(permission); });
  }
  void moveTo(int x, int y) override {
    post_([shell = shell_, at = fromRootPixels(x, y)] { shell->placeGuide(at); });
  }
  void orderFront() override {
    post_([shell = shell_] { shell->orderGuideFront(); });
  }
  void orderOut() override {
    post_([shell = shell_] { shell->placeGuide(std::nullopt); });
  }
  void fadeOut() override {
    post_([shell = shell_] { shell->fadeOutGuide(); });
  }

 private:
  Post post_;
  Shell* shell_;
};

Shell::Shell(runtime::MainLoop& loop, ShellActions& actions, Sources sources,
             TrayHostWatching& hosts)
    : loop_(loopPost(loop)),
      actions_(actions),
      menu_([this](const MenuAction& action) { choose(action); },
            [this] { post([](ShellActions& a) { a.refreshHooks(); }); }),
      tray_(hosts, menu_),
      onboarding_([this] { return buildOnboarding(); }),
      pairing_([this] { return buildPairing(); }),
      pairingPresenter_(
          sources.pairing,
          {[this](const PairingState& p) { return pairingLook(p, state_.menu.connectorError); },
           [](const PairingState& old, const PairingState& now) { return react(old, now); }},
          pairing_),
      snapshot_(sources.state, [this](const ShellState& state) { draw(state); }) {
  menu_.setItems(menuItems(state_.menu));
}

Shell::~Shell() {
  snapshot_.end();
  if (guide_) delete guide_.data();
}

std::shared_ptr<AppActivating> Shell::activator() {
  return std::make_shared<Activator>(poster_.post(), this);
}

std::shared_ptr<app::GuidePanel> Shell::guidePanel() {
  return std::make_shared<Panel>(poster_.post(), this);
}

OnboardingWindow* Shell::onboardingWindow() const {
  return static_cast<OnboardingWindow*>(onboarding_.window());
}

PairingWindow* Shell::pairingWindow() const {
  return static_cast<PairingWindow*>(pairing_.window());
}

void Shell::addQuitKey(QWidget& window) {
  // The menu's own Ctrl+Q only works while the menu is open; in a window of ours it quits too.
  auto* quit = new QShortcut(QKeySequence(Qt::CTRL | Qt::Key_Q), &window);
  QObject::connect(quit, &QShortcut::activated, &window,
                   [this] { choose(MenuAction(MenuAction::Kind::quit)); });
}

void Shell::post(std::function<void(ShellActions&)> call) {
  loop_([&actions = actions_, call = std::move(call)] { call(actions); });
}

void Shell::choose(const MenuAction& action) {
  if (action.kind == MenuAction::Kind::pair) showPairing();
  if (action.kind == MenuAction::Kind::setUp) {
    // Setting up starts over on the loop; the window opens on the first page at once rather
    // than on the stored one until the loop's state arrives.
    state_.step = Step::welcome;
    state_.forward = true;
    if (OnboardingWindow* window = onboardingWindow()) drawOnboarding(*window);
    showOnboarding();
  }
  post([action](ShellActions& a) { a.perform(action); });
}

void Shell::showOnboarding() {
  if (QWidget* window = onboarding_.show()) followCovering(*window);
}

void Shell::showPairing() {
  if (QWidget* window = pairing_.show()) followCovering(*window);
}

void Shell::draw(const ShellState& state) {
  state_ = state;
  menu_.setItems(menuItems(state_.menu));
  if (OnboardingWindow* window = onboardingWindow()) drawOnboarding(*window);
  if (PairingWindow* window = pairingWindow()) pairingPresenter_.dress(*window);
}

QWidget* Shell::buildOnboarding() {
  auto* window = new OnboardingWindow(
      {[this] {
         if (auto to = backButton(state_.step).to)
           post([to = *to](ShellActions& a) { a.go(to, false); });
       },
       [this] { mainButton(); }, [this] { post([](ShellActions& a) { a.setPolling(true); }); },
       [this] { post([](ShellActions& a) { a.setPolling(false); }); }});
  pageStep_.reset();
  drawOnboarding(*window);
  addQuitKey(*window);
  return window;
}

void Shell::mainButton() {
  const Step step = state_.step;
  switch (app::mainButton(step, state_.granted, state_.requested, state_.client.has_value()).does) {
    case MainButton::Does::next:
      post([](ShellActions& a) { a.next(); });
      return;
    case MainButton::Does::request:
      if (auto permission = permissionOf(step))
        post([permission = *permission](ShellActions& a) { a.request(permission); });
      return;
    case MainButton::Does::finish: {
      // The window closes once setup is stored as complete: a quit right after the close
      // must not leave it to be shown again at the next start. When it could not be stored
      // the window stays, saying why, and Done tries again.
      auto close = [this] {
        if (QWidget* window = onboarding_.window()) window->close();
      };
      post([toQt = poster_.post(), close](ShellActions& a) {
        a.finish([toQt, close] { toQt(close); });
      });
      return;
    }
  }
}

void Shell::drawOnboarding(OnboardingWindow& window) {
  const Step step = state_.step;
  window.setBar(onboardingBar(step, state_.granted, state_.requested, state_.client.has_value()));
  if (pageStep_ != step) {
    pageStep_ = step;
    window.showPage(onboardingPage(step), pageContent(step), state_.forward);
    return;
  }
  if (permissionCard_)
    if (auto permission = permissionOf(step))
      permissionCard_->setLook(
          permissionCardLook(*permission, state_.granted, state_.requested, state_.captureLacking));
  if (connectCard_) connectCard_->setLook(connectCardLook(state_.client, state_.menu.nearby));
  if (readyCard_) {
    readyCard_->setSwitches(state_.wantsLaunchAtLogin, state_.menu.followWindows);
    readyCard_->setFailure(state_.saveFailure);
  }
}

QWidget* Shell::pageContent(Step step) {
  switch (pageOf(step).content) {
    case PageContent::setupTime:
      return setupTimeRow();
    case PageContent::screenRecordingCard:
    case PageContent::accessibilityCard: {
      const Permission permission = permissionOf(step).value_or(Permission::screenRecording);
      auto* card = new PermissionCard(
          permissionCardLook(permission, state_.granted, state_.requested, state_.captureLacking));
      permissionCard_ = card;
      return card;
    }
    case PageContent::connectCard: {
      auto* card = new ConnectCard([this](const MenuAction& action) { choose(action); });
      card->setLook(connectCardLook(state_.client, state_.menu.nearby));
      connectCard_ = card;
      return card;
    }
    case PageContent::readyCard: {
      auto* card = new ReadyCard(
          readyCardLook(),
          [this](bool on) { post([on](ShellActions& a) { a.setLaunchAtLogin(on); }); },
          [this](bool on) {
            const MenuAction follow(MenuAction::Kind::followWindows, std::nullopt, std::nullopt,
                                    on);
            post([follow](ShellActions& a) { a.perform(follow); });
          });
      card->setSwitches(state_.wantsLaunchAtLogin, state_.menu.followWindows);
      card->setFailure(state_.saveFailure);
      readyCard_ = card;
      return card;
    }
  }
  return nullptr;
}

QWidget* Shell::buildPairing() {
  auto* window = new PairingWindow(
      [](const std::string& old, const std::string& typed) {
        const CodeChange change = filterCode(old, typed);
        return PairingCodeField::Filtered{change.code, change.submit};
      },
      [this](const std::string& code) { post([code](ShellActions& a) { a.submit(code); }); },
      [this] { post([](ShellActions& a) { a.cancelPairing(); }); });
  window->setLook(pairingLook(state_.pairing, state_.menu.connectorError));
  pairingPresenter_.dress(*window);
  addQuitKey(*window);
  return window;
}

void Shell::createGuide(Permission permission) {
  if (guide_) guide_->dismiss();
  guide_ = new ui::GuidePanel(guideTexts(permission));
  addQuitKey(*guide_);
  guideOrigin_.reset();
}

void Shell::placeGuide(std::optional<QPoint> origin) {
  guideOrigin_ = origin;
  if (guide_) guide_->place(origin);
}

void Shell::orderGuideFront() {
  // Only where it has a place: without one it would flash at its first corner.
  if (guide_ && guideOrigin_) guide_->place(guideOrigin_);
}

void Shell::fadeOutGuide() {
  if (guide_) guide_->dismiss();
  guide_ = nullptr;
  guideOrigin_.reset();
}

}  // namespace brindlet::app::ui
