// The whole interface over the scripted shell: the menu as the shell's table says, each choice
// posted onto the loop, the pairing window through the real filter and reactions, the
// onboarding pages from their tables, and the guide's panel placed from the loop.

#include <gtest/gtest.h>

#include <QAccessible>
#include <QActionGroup>
#include <QApplication>
#include <QClipboard>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>

#include "app/core/ScriptedShell.h"
#include "app/ui/GuidePanel.h"
#include "app/ui/ManualTrayHosts.h"
#include "app/ui/OnboardingCards.h"
#include "app/ui/OnboardingParts.h"
#include "app/ui/OnboardingWindow.h"
#include "app/ui/PairingWindow.h"
#include "app/ui/Shell.h"
#include "support/QtHarness.h"

namespace brindlet::app::ui {
namespace {

using testsupport::processEventsUntil;

// The widget of type T under `parent`: the cards declare no meta-object, so findChild cannot
// tell them from any widget.
template <class T>
T* childOf(QObject* parent) {
  for (QObject* child : parent->findChildren<QObject*>())
    if (auto* found = dynamic_cast<T*>(child)) return found;
  return nullptr;
}

struct ShellTest : ::testing::Test {
  ScriptedShell scripted;
  ManualTrayHosts hosts;
  std::unique_ptr<Shell> shell;

  void SetUp() override {
    shell = std::make_unique<Shell>(scripted.loop, scripted.actions,
                                    Shell::Sources{scripted.state, scripted.pairing}, hosts);
    drawn();
  }
  void TearDown() override { shell.reset(); }

  // Waits until the interface draws the newest state.
  void drawn() {
    ASSERT_TRUE(processEventsUntil([&] { return shell->state() == scripted.state.get(); }));
  }
  void change(const std::function<void(ShellState&)>& edit) {
    scripted.change(edit);
    drawn();
  }
  bool posted(const std::string& line, int times = 1) {
    return processEventsUntil([&] { return scripted.actions.count(line) >= times; }) &&
           scripted.actions.count(line) == times;
  }
};

// The built menu holds exactly the items, in order; each choice is collected.
void expectMenu(QMenu& menu, const std::vector<MenuItem>& items,
                std::vector<std::pair<QAction*, MenuAction>>& choices, bool options = false) {
  using Kind = MenuItem::Kind;
  const auto actions = menu.actions();
  int at = 0;
  auto next = [&]() -> QAction* { return at < actions.size() ? actions[at++] : nullptr; };
  std::function<void(const MenuItem&)> expectItem = [&](const MenuItem& item) {
    SCOPED_TRACE(item.text);
    QAction* a = next();
    ASSERT_NE(a, nullptr);
    if (item.kind == Kind::divider) {
      EXPECT_TRUE(a->isSeparator());
      return;
    }
    EXPECT_EQ(a->text().toStdString(), item.text);
    switch (item.kind) {
      case Kind::text:
      case Kind::label:
        EXPECT_FALSE(a->isEnabled());
        EXPECT_EQ(a->icon().isNull(), item.kind == Kind::text);
        return;
      case Kind::button:
      case Kind::toggle:
        EXPECT_EQ(a->isEnabled(), item.enabled);
        EXPECT_EQ(a->isCheckable(), item.kind == Kind::toggle || options);
        EXPECT_EQ(a->isChecked(), item.checked);
        EXPECT_EQ(a->shortcut(), QKeySequence(QString::fromStdString(item.shortcut)));
        choices.emplace_back(a, item.action);
        return;
      case Kind::section:
        EXPECT_TRUE(a->isSeparator());
        for (const MenuItem& child : item.children) expectItem(child);
        return;
      case Kind::picker:
      case Kind::submenu: {
        ASSERT_NE(a->menu(), nullptr);
        std::vector<std::pair<QAction*, MenuAction>> inner;
        expectMenu(*a->menu(), item.children, inner, item.kind == Kind::picker);
        for (auto& [option, action] : inner) {
          if (item.kind == Kind::picker) {
            EXPECT_TRUE(option->isCheckable());
            ASSERT_NE(option->actionGroup(), nullptr);
            EXPECT_TRUE(option->actionGroup()->isExclusive());
          }
          choices.emplace_back(option, action);
        }
        return;
      }
      case Kind::divider:
        return;
    }
  };
  for (const MenuItem& item : items) expectItem(item);
  EXPECT_EQ(at, actions.size());
}

MenuState connectedOver(transport::Route::Kind route) {
  MenuState s;
  s.client = MenuState::Client{"Ada's iPhone", route};
  s.lastError = "The display could not be attached";
  s.needsAccessibility = true;
  s.quality = streaming::VideoQuality::fast;
  s.followWindows = false;
  s.claudeConnected = true;
  s.canCheck = true;
  return s;
}

TEST_F(ShellTest, TheMenuIsTheTableAndEveryChoicePostsItsOperation) {
  MenuState bare;
  MenuState nearby;
  nearby.displayUnavailable = true;
  nearby.connectorError = "Couldn't connect to Bo's iPhone";
  nearby.agentsError = "Couldn't update Claude Code's settings: denied";
  nearby.nearby = {nearbyPhone("Ada's iPhone", "uid-ada", true),
                   nearbyPhone("Bo's iPhone", "uid-bo", false)};
  const MenuState states[] = {bare, nearby, connectedOver(transport::Route::Kind::usb)};
  for (const MenuState& state : states) {
    change([&](ShellState& s) { s.menu = state; });
    emit shell->menu().aboutToShow();
    std::vector<std::pair<QAction*, MenuAction>> choices;
    expectMenu(shell->menu(), menuItems(state), choices);
    for (auto& [action, operation] : choices) {
      if (!action->isEnabled() || operation.kind == MenuAction::Kind::setUp ||
          operation.kind == MenuAction::Kind::pair)
        continue;  // those open windows: below
      SCOPED_TRACE(action->text().toStdString());
      const std::string line = "chose " + describe(operation);
      const int before = scripted.actions.count(line);
      action->trigger();
      EXPECT_TRUE(posted(line, before + 1));
    }
  }
  EXPECT_TRUE(posted("refresh hooks", 3));
  EXPECT_TRUE(posted("chose quit", 3));
  EXPECT_EQ(scripted.actions.count("chose follow on"), 1);
  EXPECT_EQ(scripted.actions.count("chose quality best"), 1);
}

TEST_F(ShellTest, TheMenuStaysCurrentWhileOpen) {
  emit shell->menu().aboutToShow();
  change([](ShellState& s) { s.menu.nearby = {nearbyPhone("Ada's iPhone", "uid-ada", true)}; });
  std::vector<std::pair<QAction*, MenuAction>> choices;
  expectMenu(shell->menu(), menuItems(scripted.state.get().menu), choices);
  emit shell->menu().aboutToHide();
  change([](ShellState& s) { s.menu.nearby.clear(); });
  EXPECT_EQ(shell->menu().actions().size(), 10);  // closed: still the last opening's
}

TEST_F(ShellTest, SetUpAndPairOpenTheirWindowsAndPost) {
  change([](ShellState& s) {
    s.menu.nearby = {nearbyPhone("Bo's iPhone", "uid-bo", false)};
    s.step = Step::connect;  // stored from an earlier run
  });
  shell->choose(MenuAction(MenuAction::Kind::setUp));
  ASSERT_NE(shell->onboardingWindow(), nullptr);
  EXPECT_EQ(shell->onboardingWindow()->dots()->current(), 0);  // starts over at once
  EXPECT_TRUE(posted("chose setup"));
  EXPECT_TRUE(posted("poll on"));
  shell->choose(MenuAction(MenuAction::Kind::pair, nearbyPhone("Bo's iPhone", "uid-bo", false)));
  ASSERT_NE(shell->pairingWindow(), nullptr);
  EXPECT_TRUE(posted("chose pair uid-bo"));
}

struct PairingShellTest : ShellTest {
  const transport::NearbyPhone phone = nearbyPhone("Ada's iPhone", "uid-ada", false);
  PairingWindow* window = nullptr;

  void SetUp() override {
    ShellTest::SetUp();
    scripted.setPairing(Pairing::entering(phone, 3, false));
    shell->showPairing();
    window = shell->pairingWindow();
    ASSERT_NE(window, nullptr);
    window->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(window));
    ASSERT_TRUE(processEventsUntil([&] { return window->look().entering; }));
  }
  PairingCodeField& field() { return *window->codeField(); }
};

TEST_F(PairingShellTest, TypingGoesThroughTheFilter) {
  EXPECT_EQ(window->titleLabel()->text(), QStringLiteral("Pair with Ada's iPhone"));
  QTest::keyClicks(field().field(), "12a3");
  EXPECT_EQ(field().code(), "123");
  field().setCode("");
  for (const QChar digit : QString::fromUtf8("\u0664\u0665\u0666")) {  // typed Arabic-Indic
    QKeyEvent key(QEvent::KeyPress, Qt::Key_unknown, Qt::NoModifier, QString(digit));
    QApplication::sendEvent(field().field(), &key);
  }
  EXPECT_EQ(field().code(), "456");
  field().setCode("");
  QApplication::clipboard()->setText(QStringLiteral("123456789"));
  field().field()->paste();
  EXPECT_EQ(field().code(), "123456");
  EXPECT_TRUE(posted("submit 123456"));
  shell->showPairing();  // a second show keeps the window and its digits
  EXPECT_EQ(shell->pairingWindow(), window);
  EXPECT_EQ(field().code(), "123456");
}

TEST_F(PairingShellTest, AMistakeEmptiesShakesAndFocuses) {
  QTest::keyClicks(field().field(), "123456");
  scripted.setPairing(Pairing::checking(phone, 3));
  ASSERT_TRUE(
      processEventsUntil([&] { return window->look().action == PairingLook::Action::spinner; }));
  scripted.setPairing(Pairing::entering(phone, 2, true));
  ASSERT_TRUE(processEventsUntil([&] { return window->look().mistake; }));
  EXPECT_EQ(field().code(), "");
  EXPECT_TRUE(field().shaking());
  EXPECT_TRUE(field().fieldHasFocus());
}

TEST_F(PairingShellTest, ACheckEndingWithinOneTurnStillClosesTheWindow) {
  QPointer<PairingWindow> open = window;
  scripted.onLoop([&] {
    scripted.pairing.set(Pairing::checking(phone, 3));
    scripted.pairing.set(std::nullopt);
  });
  EXPECT_TRUE(processEventsUntil([&] { return open.isNull(); }));
}

TEST_F(PairingShellTest, CtrlQQuitsAndEscapeCancels) {
  QTest::keyClick(field().field(), Qt::Key_Q, Qt::ControlModifier);
  EXPECT_TRUE(posted("chose quit"));
  QPointer<PairingWindow> open = window;
  QTest::keyClick(field().field(), Qt::Key_Escape);
  EXPECT_TRUE(posted("cancel pairing"));
  EXPECT_TRUE(processEventsUntil([&] { return open.isNull(); }));
}

TEST_F(PairingShellTest, AClosePostsOneCancel) {
  window->closeControl()->click();
  EXPECT_TRUE(posted("cancel pairing"));
  QTest::qWait(50);
  EXPECT_EQ(scripted.actions.count("cancel pairing"), 1);
}

struct OnboardingShellTest : ShellTest {
  OnboardingWindow* window = nullptr;
  void open(Step step) {
    change([step](ShellState& s) { s.step = step; });
    shell->showOnboarding();
    window = shell->onboardingWindow();
    ASSERT_NE(window, nullptr);
    window->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(window));
  }
  ConnectCard* connectCard() const { return childOf<ConnectCard>(window); }
};

TEST_F(OnboardingShellTest, OnWelcomeBackIsNeverReachedAndReturnGoesOn) {
  open(Step::welcome);
  EXPECT_FALSE(window->backButton()->isVisible());
  EXPECT_EQ(window->mainButton()->text(), QStringLiteral("Get Started"));
  window->mainButton()->setFocus();
  for (int i = 0; i < 6; ++i) {
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
    EXPECT_NE(QApplication::focusWidget(), window->backButton());
  }
  QTest::keyClick(window, Qt::Key_Return);
  EXPECT_TRUE(posted("next"));
  EXPECT_TRUE(posted("poll on"));
  window->close();
  EXPECT_TRUE(posted("poll off"));
}

TEST_F(OnboardingShellTest, CtrlQQuitsAndEscapeClosesAsTheCloseControlDoes) {
  open(Step::welcome);
  QTest::keyClick(window, Qt::Key_Q, Qt::ControlModifier);
  EXPECT_TRUE(posted("chose quit"));
  QPointer<OnboardingWindow> open = window;
  QTest::keyClick(window, Qt::Key_Escape);
  EXPECT_TRUE(processEventsUntil([&] { return open.isNull(); }));
  EXPECT_TRUE(posted("poll off"));
}

TEST_F(OnboardingShellTest, APermissionPageAsksAndGoesBack) {
  open(Step::screenRecording);
  auto* dots = QAccessible::queryAccessibleInterface(window->dots());
  EXPECT_EQ(dots->text(QAccessible::Name), QStringLiteral("Step 2 of 5"));
  auto* card = childOf<PermissionCard>(window);
  ASSERT_NE(card, nullptr);
  EXPECT_EQ(card->look().status, "Off");
  window->mainButton()->click();
  EXPECT_TRUE(posted("request screenRecording"));
  change([](ShellState& s) { s.granted = {Permission::screenRecording}; });
  EXPECT_EQ(card->look().status, "On");  // the same card, kept
  window->backButton()->click();
  EXPECT_TRUE(posted("go 0 back"));
}

TEST_F(OnboardingShellTest, TheConnectCardFollowsPhonesAsTheyComeAndGo) {
  open(Step::connect);
  ASSERT_NE(connectCard(), nullptr);
  EXPECT_TRUE(connectCard()->rowButtons().empty());
  change([](ShellState& s) {
    s.menu.nearby = {nearbyPhone("Ada's iPhone", "uid-ada", true),
                     nearbyPhone("Bo's iPhone", "uid-bo", false)};
  });
  auto rows = connectCard()->rowButtons();
  ASSERT_EQ(rows.size(), 2u);
  rows[1]->click();
  EXPECT_TRUE(posted("chose pair uid-bo"));
  EXPECT_NE(shell->pairingWindow(), nullptr);
  change([](ShellState& s) { s.menu.nearby.pop_back(); });
  EXPECT_EQ(connectCard()->rowButtons().size(), 1u);
  change([](ShellState& s) { s.client = ConnectedPhone{"Ada's iPhone"}; });
  EXPECT_TRUE(connectCard()->rowButtons().empty());
  EXPECT_EQ(window->mainButton()->text().toStdString(),
            mainButton(Step::connect, {}, {}, true).title);
}

TEST_F(OnboardingShellTest, DoneFinishesAndClosesOnceSetupIsStored) {
  open(Step::ready);
  QPointer<OnboardingWindow> open = window;
  auto* card = childOf<ReadyCard>(window);
  ASSERT_NE(card, nullptr);
  card->launchSwitch()->click();
  EXPECT_TRUE(posted("launch at login off"));
  scripted.onLoop([&] { scripted.actions.holdFinish = true; });
  window->mainButton()->click();
  EXPECT_TRUE(posted("finish"));
  QTest::qWait(50);
  EXPECT_FALSE(open.isNull());
  // One that could not be stored leaves the window saying why, for Done to try again.
  EXPECT_FALSE(card->failureLine()->isVisible());
  const std::string why = "Couldn't save your settings: No space left on device";
  change([&](ShellState& s) { s.saveFailure = why; });
  EXPECT_TRUE(card->failureLine()->isVisible());
  EXPECT_EQ(card->failureLine()->text().toStdString(), why);
  window->mainButton()->click();
  EXPECT_TRUE(posted("finish", 2));
  scripted.onLoop([&] { scripted.actions.heldFinish(); });
  EXPECT_TRUE(processEventsUntil([&] { return open.isNull(); }));
}

TEST_F(OnboardingShellTest, TheModelsActivateRaisesTheOpenWindowAndOpensNone) {
  auto activator = shell->activator();
  scripted.onLoop([&] { activator->activate(); });
  QTest::qWait(20);
  EXPECT_EQ(shell->onboardingWindow(), nullptr);
  open(Step::welcome);
  QWidget other;
  other.show();
  other.activateWindow();
  ASSERT_TRUE(QTest::qWaitForWindowActive(&other));
  scripted.onLoop([&] { activator->activate(); });
  EXPECT_TRUE(processEventsUntil([&] { return window->isActiveWindow(); }));
}

TEST_F(ShellTest, TheGuidePanelShowsOnlyWhereTheLoopPlacesIt) {
  auto panel = shell->guidePanel();
  scripted.onLoop([&] {
    panel->create(Permission::accessibility);
    panel->orderFront();
  });
  ASSERT_TRUE(processEventsUntil([&] { return shell->guide() != nullptr; }));
  QTest::qWait(50);
  EXPECT_FALSE(shell->guide()->isVisible());  // no place yet: no flash in a corner
  EXPECT_EQ(shell->guide()->windowTitle().toStdString(), guideHeadline());
  scripted.onLoop([&] { panel->moveTo(120, 300); });
  ASSERT_TRUE(processEventsUntil([&] { return shell->guide()->isVisible(); }));
  EXPECT_EQ(shell->guide()->pos(), QPoint(120, 300));
  scripted.onLoop([&] { panel->orderOut(); });
  ASSERT_TRUE(processEventsUntil([&] { return !shell->guide()->isVisible(); }));
  QPointer<ui::GuidePanel> shown = shell->guide();
  scripted.onLoop([&] { panel->fadeOut(); });
  EXPECT_TRUE(processEventsUntil([&] { return shown.isNull(); }));
}

}  // namespace
}  // namespace brindlet::app::ui
