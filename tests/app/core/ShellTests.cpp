#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "agents/ClaudeHooks.h"
#include "app/core/FakePlatform.h"
#include "app/core/HostModel.h"
#include "app/core/Onboarding.h"
#include "app/core/Phones.h"
#include "app/core/Shell.h"
#include "app/core/TemporaryHome.h"
#include "session/HostSession.h"
#include "session/PhoneConnector.h"
#include "support/Loop.h"
#include "transport/PairingStore.h"
#include "transport/SymmetricKey.h"

namespace brindlet::app::testing {
namespace {

using namespace std::chrono_literals;
using brindlet::testing::runFor;
using Kind = MenuAction::Kind;

struct ShellHarness {
  explicit ShellHarness(bool displayAvailable = true) {
    if (!displayAvailable) {
      platform.availability = streaming::VirtualDisplayAvailability::unavailable("no output");
    }
    model = platform.buildModel();
    shell = std::make_unique<Shell>(platform.loop().context().get_executor(), model,
                                    [this] { ++quits; });
    settle();
  }
  ~ShellHarness() {
    shell->stop();
    settle();
  }
  void settle() { runFor(platform.loop(), *platform.manualClock, 10ms); }
  template <class T>
  T run(boost::asio::awaitable<T> operation) {
    return brindlet::testing::runUntilDone(platform.loop().context(), std::move(operation));
  }
  const ShellState& state() {
    current = shell->state.get();
    return current;
  }

  FakePlatform platform;
  std::shared_ptr<HostModel> model;
  std::unique_ptr<Shell> shell;
  ShellState current;
  int quits = 0;
};

TEST(Shell, ComposesTheModelsIntoTheState) {
  ShellHarness h(false);
  EXPECT_TRUE(h.state().menu.displayUnavailable);
  EXPECT_FALSE(h.state().menu.client);
  EXPECT_TRUE(h.state().menu.followWindows);
  EXPECT_FALSE(h.state().menu.canCheck);

  h.model->session->onNearby({pairedPhone("Test Phone", "U1")});
  h.model->session->lastError.set("Display: failed");
  h.model->onboarding->go(Step::connect, true);
  h.settle();
  ASSERT_EQ(h.state().menu.nearby.size(), 1u);
  EXPECT_EQ(h.state().menu.nearby[0].name, "Test Phone");
  EXPECT_EQ(h.state().menu.lastError, "Display: failed");
  EXPECT_EQ(h.state().step, Step::connect);

  ShellHarness available;
  EXPECT_FALSE(available.state().menu.displayUnavailable);
}

TEST(Shell, AConnectedPhoneClearsTheConnectorsError) {
  ShellHarness h;
  h.model->connector->error.set("Couldn't connect to Test Phone.");
  EXPECT_EQ(h.state().menu.connectorError, "Couldn't connect to Test Phone.");
  protocol::Hello hello;
  hello.name = "Test Phone";
  h.model->session->client.set(session::HostSession::Client{hello, transport::Route::wifi("p")});
  EXPECT_EQ(h.model->connector->error.get(), std::nullopt);
  EXPECT_EQ(h.state().menu.connectorError, std::nullopt);
  ASSERT_TRUE(h.state().menu.client);
  EXPECT_EQ(h.state().menu.client->name, "Test Phone");
  ASSERT_TRUE(h.state().client);
  EXPECT_EQ(h.state().client->route, transport::Route::Kind::wifi);
  // The error of a later failure shows again once the phone has gone.
  h.model->session->client.set(std::nullopt);
  h.model->connector->error.set("later");
  EXPECT_EQ(h.state().menu.connectorError, "later");
}

TEST(Shell, MenuActionsReachTheModels) {
  ShellHarness h;
  const int shownAtStart = h.platform.onboardingPresenter->shows;

  h.shell->perform(MenuAction(Kind::followWindows, std::nullopt, std::nullopt, false));
  EXPECT_EQ(h.platform.memoryDefaults->boolean("openWindowsOnPhone"), false);
  h.settle();
  EXPECT_FALSE(h.state().menu.followWindows);

  h.shell->perform(MenuAction(Kind::chooseQuality, std::nullopt, streaming::VideoQuality::fast));
  EXPECT_EQ(h.model->session->quality(), streaming::VideoQuality::fast);
  EXPECT_EQ(h.state().menu.quality, streaming::VideoQuality::fast);

  h.model->onboarding->go(Step::ready, true);
  h.shell->perform(MenuAction(Kind::setUp));
  EXPECT_EQ(h.model->onboarding->step.get(), Step::welcome);
  EXPECT_EQ(h.platform.onboardingPresenter->shows, shownAtStart + 1);

  h.shell->perform(MenuAction(Kind::quit));
  EXPECT_EQ(h.quits, 1);
}

TEST(Shell, ForgetRemovesTheKeyOfAPhoneWithAUid) {
  ShellHarness h;
  const std::vector<std::uint8_t> bytes(32, 7);
  h.run(h.model->pairing->save(transport::SymmetricKey(bytes), "U1"));
  auto noUid = unpairablePhone("Nameless");
  h.shell->perform(MenuAction(Kind::forget, noUid));
  h.settle();
  EXPECT_TRUE(h.run(h.model->pairing->key("U1")));
  h.shell->perform(MenuAction(Kind::forget, pairedPhone("Test Phone", "U1")));
  h.settle();
  EXPECT_FALSE(h.run(h.model->pairing->key("U1")));
}

TEST(Shell, PairShowsTheWindowThenRequests) {
  ShellHarness h;
  h.shell->perform(MenuAction(Kind::pair, pairablePhone("New Phone", "U2")));
  EXPECT_EQ(h.platform.pairingPresenter->shows, 1);
  h.settle();
  // The request went out: the flow shows the phone, whatever the dial's outcome.
  const auto pairing = h.state().pairing;
  const auto error = h.state().menu.connectorError;
  EXPECT_TRUE(pairing || error);
}

TEST(Shell, OnboardingActions) {
  ShellHarness h;
  h.shell->go(Step::accessibility, false);
  h.shell->setLaunchAtLogin(false);
  EXPECT_EQ(h.state().step, Step::accessibility);
  EXPECT_FALSE(h.state().forward);
  EXPECT_FALSE(h.state().wantsLaunchAtLogin);
  h.shell->setPolling(true);
  EXPECT_TRUE(h.model->onboarding->isPolling());
  h.shell->setPolling(false);
  EXPECT_FALSE(h.model->onboarding->isPolling());
  // What waits for the finish (the window's close) runs once completion is stored; a failed
  // save leaves the state saying why instead.
  std::optional<bool> storedBefore;
  auto close = [&] { storedBefore = h.platform.memoryDefaults->boolean(Onboarding::completeKey); };
  h.platform.memoryDefaults->saveFailure = "Read-only file system";
  h.shell->finish(close);
  h.settle();
  EXPECT_EQ(h.state().saveFailure, "Couldn't save your settings: Read-only file system");
  h.platform.memoryDefaults->saveFailure.reset();
  h.shell->finish(close);
  h.settle();
  EXPECT_EQ(storedBefore, true);
}

TEST(Shell, TheAgentsMenuShowsTheHooksBeforeTheMenuFirstOpens) {
  TemporaryHome home;
  agents::ClaudeHooks{}.install();
  ShellHarness h;
  EXPECT_TRUE(h.state().menu.claudeConnected);
}

}  // namespace
}  // namespace brindlet::app::testing
