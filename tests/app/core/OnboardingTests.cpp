// The onboarding model on the manual clock, with its roles as doubles: where it opens, when a
// grant moves it on, what it stores, and what a check that never answers costs.

#include "app/core/Onboarding.h"

#include <functional>

#include <gtest/gtest.h>

#include "app/core/OnboardingPages.h"
#include "app/core/ShellDoubles.h"
#include "runtime/Log.h"
#include "runtime/ManualClock.h"
#include "runtime/MemoryDefaults.h"
#include "support/Loop.h"

namespace brindlet::app {
namespace {

using namespace std::chrono_literals;
using runtime::LogLevel;

struct Harness {
  boost::asio::io_context io;
  std::shared_ptr<runtime::ManualClock> clock = std::make_shared<runtime::ManualClock>();
  std::shared_ptr<runtime::MemoryDefaults> defaults;
  std::shared_ptr<FakeChecker> checker = std::make_shared<FakeChecker>(clock);
  std::shared_ptr<FakeLoginItem> loginItem = std::make_shared<FakeLoginItem>();
  std::shared_ptr<RecordingGuide> guide = std::make_shared<RecordingGuide>();
  std::shared_ptr<RecordingActivator> activator = std::make_shared<RecordingActivator>();
  std::shared_ptr<RecordingOpener> opener = std::make_shared<RecordingOpener>();
  runtime::LogCapture log;
  std::shared_ptr<Onboarding> model;

  explicit Harness(runtime::DefaultsValues stored)
      : defaults(std::make_shared<runtime::MemoryDefaults>(std::move(stored))) {}
  // Sleepers left on the manual clock would keep their tasks, and the clock, alive.
  ~Harness() {
    if (model) model->stopPolling();
    wait(2 * Onboarding::checkLimit);  // a check still out gives up
    model.reset();
    testing::drain(io);
  }

  void create() {
    model = testing::runUntilDone(
        io, Onboarding::create({checker, defaults, guide, activator, opener, loginItem, clock}));
  }
  void run(boost::asio::awaitable<void> operation) {
    testing::runUntilDone(io, std::move(operation));
  }
  void wait(runtime::Duration duration) { testing::runFor(io, *clock, duration); }
  std::optional<std::int64_t> storedStep() const { return defaults->integer(Onboarding::stepKey); }
};

struct Case {
  const char* name;
  runtime::DefaultsValues stored;
  Permissions grantedAtStart;
  std::function<void(Harness&)> play;
};

const Permissions screen{Permission::screenRecording};
const Permissions access{Permission::accessibility};

const Case cases[] = {
    {"a stored 3 opens at connect",
     {{"onboardingStep", std::int64_t{3}}},
     {},
     [](Harness& h) { EXPECT_EQ(h.model->step.get(), Step::connect); }},
    {"a stored 7 opens at welcome",
     {{"onboardingStep", std::int64_t{7}}},
     {},
     [](Harness& h) { EXPECT_EQ(h.model->step.get(), Step::welcome); }},
    {"a stored -1 opens at welcome",
     {{"onboardingStep", std::int64_t{-1}}},
     {},
     [](Harness& h) { EXPECT_EQ(h.model->step.get(), Step::welcome); }},
    {"a grant seen by the poll on step 1 moves on 1.1 s later",
     {{"onboardingStep", std::int64_t{1}}},
     {},
     [](Harness& h) {
       h.model->forward.set(false);
       h.model->startPolling();
       h.checker->grants = screen;
       h.wait(500ms);
       EXPECT_EQ(h.model->granted.get(), screen);
       EXPECT_EQ(h.activator->activations, 1);
       EXPECT_EQ(h.guide->calls, std::vector<std::string>{"dismiss"});
       h.wait(1000ms);
       EXPECT_EQ(h.model->step.get(), Step::screenRecording);
       h.wait(100ms);
       EXPECT_EQ(h.model->step.get(), Step::accessibility);
       EXPECT_TRUE(h.model->forward.get());
       EXPECT_EQ(h.storedStep(), 2);
     }},
    {"the poll keeps what screen capture lacks, for its card",
     {{"onboardingStep", std::int64_t{1}}},
     {},
     [](Harness& h) {
       h.model->startPolling();
       h.checker->captureLacking = {"XFIXES"};
       h.wait(500ms);
       EXPECT_EQ(h.model->captureLacking.get(), std::vector<std::string>{"XFIXES"});
     }},
    {"Back before the advance keeps the user where Back took them",
     {{"onboardingStep", std::int64_t{1}}},
     {},
     [](Harness& h) {
       h.model->startPolling();
       h.checker->grants = screen;
       h.wait(500ms);
       h.model->go(Step::welcome, false);
       h.wait(2s);
       EXPECT_EQ(h.model->step.get(), Step::welcome);
       EXPECT_EQ(h.storedStep(), 0);
     }},
    {"a permission granted before its step does not advance it",
     {},
     screen,
     [](Harness& h) {
       h.model->go(Step::screenRecording, true);
       h.model->startPolling();
       h.wait(3s);
       EXPECT_EQ(h.model->step.get(), Step::screenRecording);
       EXPECT_EQ(h.activator->activations, 0);
       EXPECT_EQ(mainButton(h.model->step.get(), h.model->granted.get(), {}, false).title,
                 "Continue");
     }},
    {"relaunched on step 1 with the grant: activation at creation, then the advance",
     {{"onboardingStep", std::int64_t{1}}},
     screen,
     [](Harness& h) {
       EXPECT_EQ(h.activator->activations, 1);
       h.wait(1100ms);
       EXPECT_EQ(h.model->step.get(), Step::accessibility);
       EXPECT_EQ(h.storedStep(), 2);
     }},
    {"revoking and granting again advances again",
     {{"onboardingStep", std::int64_t{2}}},
     access,
     [](Harness& h) {
       h.wait(1100ms);
       EXPECT_EQ(h.model->step.get(), Step::connect);
       h.model->go(Step::accessibility, false);
       h.model->startPolling();
       h.wait(2s);
       EXPECT_EQ(h.model->step.get(), Step::accessibility);
       h.checker->grants = {};
       h.wait(500ms);
       h.checker->grants = access;
       h.wait(500ms + 1100ms);
       EXPECT_EQ(h.model->step.get(), Step::connect);
       EXPECT_EQ(h.activator->activations, 2);
     }},
    {"finish with a failing login item still completes",
     {{"onboardingStep", std::int64_t{4}}},
     {},
     [](Harness& h) {
       h.loginItem->failure = "Permission denied: /home/u/.config/autostart";
       h.model->wantsLaunchAtLogin.set(false);
       h.run(h.model->finish());
       EXPECT_EQ(h.loginItem->calls, std::vector<bool>{false});
       EXPECT_EQ(h.log.messages("onboarding", LogLevel::error),
                 std::vector<std::string>{
                     "Launch at login: Permission denied: /home/u/.config/autostart"});
       EXPECT_EQ(h.defaults->boolean(Onboarding::completeKey), true);
       EXPECT_FALSE(h.storedStep());
       EXPECT_EQ(h.model->step.get(), Step::ready);
     }},
    {"a Done that keeps less says what, the settings first, and Done again retries",
     {{"onboardingStep", std::int64_t{4}}},
     {},
     [](Harness& h) {
       int closed = 0;
       auto done = [&] { h.run(h.model->finish([&] { ++closed; })); };
       h.defaults->saveFailure = "No space left on device";
       h.loginItem->failure = "No space left on device";
       done();
       EXPECT_EQ(h.model->saveFailure.get(),
                 "Couldn't save your settings: No space left on device");
       h.defaults->saveFailure.reset();
       done();
       EXPECT_EQ(h.model->saveFailure.get(),
                 "Couldn't turn on Launch at login: No space left on device");
       h.model->go(Step::connect, false);  // a line about an earlier Done goes
       EXPECT_EQ(h.model->saveFailure.get(), "");
       EXPECT_EQ(closed, 0);
       h.loginItem->failure.reset();
       done();
       EXPECT_EQ(h.model->saveFailure.get(), "");
       EXPECT_EQ(closed, 1);
       EXPECT_EQ(h.loginItem->calls, (std::vector<bool>{true, true, true}));
     }},
    {"two requests: requested once, settings opened twice",
     {},
     {},
     [](Harness& h) {
       h.run(h.model->request(Permission::accessibility));
       h.run(h.model->request(Permission::accessibility));
       EXPECT_EQ(h.model->requested.get(), access);
       EXPECT_EQ(h.opener->urls,
                 std::vector<std::string>(2,
                                          "x-apple.systempreferences:com.apple.preference.security?"
                                          "Privacy_Accessibility"));
       EXPECT_EQ(h.checker->requests.size(), 2u);
       EXPECT_EQ(h.guide->calls,
                 (std::vector<std::string>{"show accessibility", "show accessibility"}));
       EXPECT_EQ(h.log.messages("onboarding", LogLevel::info),
                 std::vector<std::string>(2, "Requested accessibility"));
     }},
    {"setup not complete: launch at login wanted whatever the item says",
     {},
     {},
     [](Harness& h) { EXPECT_TRUE(h.model->wantsLaunchAtLogin.get()); }},
    {"a check that never answers: the tick skips and the check is dropped after 1 s",
     {{"onboardingStep", std::int64_t{1}}},
     {},
     [](Harness& h) {
       h.checker->hang = true;
       h.checker->checks = 0;
       h.model->startPolling();
       h.wait(500ms);
       EXPECT_EQ(h.checker->checks, 1);
       h.wait(500ms);  // the second tick finds the check still out
       EXPECT_EQ(h.checker->checks, 1);
       h.wait(500ms);  // a second after it began the first check is given up
       EXPECT_EQ(h.checker->checks, 2);
       EXPECT_EQ(h.checker->pending, 1);
       h.wait(1000ms);  // the second is given up too
       EXPECT_EQ(h.checker->pending, 0);
       EXPECT_TRUE(h.model->granted.get().empty());
       h.wait(500ms);  // and the next tick checks again
       EXPECT_EQ(h.checker->checks, 3);
     }},
};

void PrintTo(const Case& c, std::ostream* out) {
  *out << c.name;
}

class OnboardingTable : public ::testing::TestWithParam<Case> {};

TEST_P(OnboardingTable, Plays) {
  const Case& c = GetParam();
  Harness h(c.stored);
  h.checker->grants = c.grantedAtStart;
  h.create();
  EXPECT_EQ(h.model->granted.get(), c.grantedAtStart);
  c.play(h);
}

INSTANTIATE_TEST_SUITE_P(Cases, OnboardingTable, ::testing::ValuesIn(cases));

// Done after a completed setup: the item is set only where the switch no longer reads as it.
TEST(Onboarding, DoneSetsTheLoginItemOnlyWhenTheSwitchMoved) {
  const struct {
    bool reads;
    std::optional<bool> turned;
    std::vector<bool> calls;
  } cases[] = {
      {true, std::nullopt, {}},
      {false, std::nullopt, {}},
      {true, false, {false}},
      {false, true, {true}},
  };
  for (const auto& c : cases) {
    Harness h({{"onboardingComplete", true}});
    h.loginItem->enabled = c.reads;
    h.create();
    h.model->restart();
    if (c.turned) h.model->wantsLaunchAtLogin.set(*c.turned);
    h.run(h.model->finish());
    EXPECT_EQ(h.loginItem->calls, c.calls) << c.reads << " turned " << c.turned.has_value();
  }
}

TEST(Onboarding, CompletedSetupReadsTheLoginItem) {
  for (const bool enabled : {true, false}) {
    Harness h({{"onboardingComplete", true}});
    h.loginItem->enabled = enabled;
    h.create();
    EXPECT_EQ(h.model->wantsLaunchAtLogin.get(), enabled);
  }
}

}  // namespace
}  // namespace brindlet::app
