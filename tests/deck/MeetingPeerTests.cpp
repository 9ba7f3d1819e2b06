// The meeting deck on a desktop: Xvfb with openbox, a private accessibility bus, and the real
// window system, accessibility tree, workspace, readers, action runner and profile store (with
// the shipped profiles) under the engine. zenity dialogs and xterm windows of the meeting apps'
// window classes play the meetings.

#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <iterator>

#include "deck/ActionRunner.h"
#include "deck/DeckEngine.h"
#include "deck/SystemReaders.h"
#include "deck/SystemWorkspace.h"
#include "platform/linux/atspi/AtspiTree.h"
#include "platform/linux/x11/X11EventPoster.h"
#include "platform/linux/x11/X11WindowSystem.h"
#include "profiles/ProfileStore.h"
#include "runtime/MainLoop.h"
#include "runtime/ProcessTable.h"
#include "runtime/Task.h"
#include "secrets/MemorySecretStore.h"
#include "support/AccessibilityBus.h"
#include "support/Loop.h"
#include "support/OwnWindows.h"
#include "support/XClientOutput.h"
#include "support/XServer.h"

namespace brindlet::deck {
namespace {

using namespace std::chrono_literals;
using testsupport::ChildProcess;

// One desktop and bus for the binary: libatspi keeps its first bus.
struct Desktop {
  testsupport::XServer x;
  bool managing = (testsupport::startWindowManager(x), true);
  testsupport::AccessibilityBus bus{x.display()};
  runtime::MainLoop loop;
  std::unique_ptr<platform::X11WindowSystem> windows =
      brindlet::testing::runUntilDone(loop.context(), platform::X11WindowSystem::open(x.display()));
  std::unique_ptr<platform::X11EventPoster> poster =
      brindlet::testing::runUntilDone(loop.context(), platform::X11EventPoster::open(x.display()));
  platform::AtspiTree tree;
  std::shared_ptr<SystemWorkspace> workspace =
      std::make_shared<SystemWorkspace>(loop.context().get_executor(), *windows, &tree);
};

class MeetingDesktop : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { desktop = new Desktop; }
  static void TearDownTestSuite() {
    delete desktop;
    desktop = nullptr;
  }

  std::unique_ptr<ChildProcess> question(const std::vector<std::string>& extra = {}) {
    std::vector<std::string> argv{"zenity",
                                  "--question",
                                  "--title=Meet - standup",
                                  "--text=Standup",
                                  "--ok-label=Turn off microphone",
                                  "--cancel-label=Leave call"};
    argv.insert(argv.end(), extra.begin(), extra.end());
    return d.x.start(argv);
  }
  std::optional<Element> findButton(const ChildProcess& app, const std::string& title,
                                    const std::vector<std::string>& labels) {
    return brindlet::testing::runUntilDone(io(), d.workspace->findButton(app.pid(), title, labels));
  }
  bool until(const std::function<bool()>& condition, std::chrono::milliseconds timeout = 20s) {
    return brindlet::testing::runUntil(io(), condition, timeout);
  }
  boost::asio::io_context& io() { return d.loop.context(); }

  static inline Desktop* desktop = nullptr;
  Desktop& d = *desktop;
};

TEST_F(MeetingDesktop, PressesADialogsButtonByTitleAndLabelOrder) {
  const struct {
    std::vector<std::string> labels;
    int status;
  } rows[] = {{{"turn off", "leave"}, 0}, {{"leave", "turn off"}, 1}};
  for (const auto& row : rows) {
    auto dialog = question();
    std::optional<Element> button;
    ASSERT_TRUE(until([&] {
      return (button = findButton(*dialog, "Meet - standup", row.labels)).has_value();
    })) << dialog->output();
    EXPECT_FALSE(findButton(*dialog, "meet - standup", row.labels));
    EXPECT_TRUE(brindlet::testing::runUntilDone(io(), d.workspace->press(*button)));
    EXPECT_EQ(dialog->waitExit(10s), row.status) << row.labels.front();
  }
  const auto enabled = testsupport::runProgram(
      {"dbus-send", "--session", "--print-reply", "--dest=org.a11y.Bus", "/org/a11y/bus",
       "org.freedesktop.DBus.Properties.Get", "string:org.a11y.Status", "string:IsEnabled"});
  EXPECT_NE(enabled.output.find("boolean true"), std::string::npos) << enabled.output;
}

TEST_F(MeetingDesktop, DeckFollowsMeetingsAndCarriesOutIntents) {
  testsupport::TempDir folder;
  auto clock = runtime::Clock::system();
  auto store =
      std::make_shared<profiles::ProfileStore>(d.loop, folder.path(), BUNDLED_PROFILES,
                                               std::make_shared<profiles::KeychainSigningKeyStore>(
                                                   std::make_shared<secrets::MemorySecretStore>()),
                                               clock);
  brindlet::testing::runUntilDone(io(), store->load());
  runtime::ProcFsProcessTable processes;
  auto readers = std::make_shared<SystemReaders>(d.tree, processes, *clock);
  auto runner = std::make_shared<ActionRunner>(io().get_executor(), *d.workspace, *d.poster);
  auto engine = std::make_shared<DeckEngine>(
      d.loop, DeckEngine::Roles{store, d.workspace, runner, readers, clock}, "brindlet");
  std::vector<protocol::MeetingDeck> decks;
  engine->start();
  runtime::spawn(io().get_executor(), engine->linkReady([&](const protocol::ControlMessage& m) {
    if (const auto* deck = m.as<protocol::MeetingDeck>()) decks.push_back(*deck);
  }));
  const auto press = [&](const std::string& key) {
    runtime::spawn(io().get_executor(), engine->perform(protocol::DeckAction{
                                            std::string(DeckEngine::meetingProfileID), key,
                                            protocol::DeckActionPhase::press, std::nullopt}));
  };
  const auto shown = [&](const std::string& app) {
    return !decks.empty() && decks.back().app == app && decks.back().profile;
  };

  auto editor = d.x.start({"xterm", "-class", "BrindletEditor", "-e", "sleep", "600"});
  auto meet = question({"--class=Google-chrome"});
  ASSERT_TRUE(until([&] { return shown("Google-chrome"); })) << meet->output();
  EXPECT_EQ(decks.back().appName, "Google Meet");
  press("leave");
  ASSERT_TRUE(until([&] { return !decks.back().profile; }));
  EXPECT_EQ(meet->waitExit(10s), 1);
  const auto ended = decks.size();
  until([] { return false; }, 2500ms);
  EXPECT_EQ(decks.size(), ended) << "one empty deck when the meeting ends";

  // xev on the terminal's own window sees what reaches the terminal while the pointer is
  // outside of it (inside, the terminal's inner window takes the keys first).
  testsupport::TempDir keys;
  auto zoom = d.x.start({"xterm", "-class", "zoom", "-title", "Zoom Meeting 1", "-e", "sh", "-c",
                         "exec xev -id $WINDOWID -event keyboard >" + keys.file("xev")});
  ASSERT_TRUE(until([&] { return shown("zoom"); }));
  EXPECT_EQ(decks.back().appName, "Zoom");
  d.x.run({"xdotool", "mousemove", "1900", "1060"});
  const auto seen = [&](auto wanted) {
    return [&, wanted] {
      std::ifstream in(keys.file("xev"));
      const std::string output{std::istreambuf_iterator<char>(in), {}};
      return std::ranges::any_of(testsupport::xevKeys(output), wanted);
    };
  };
  ASSERT_TRUE(testsupport::keysReach(*d.poster, seen([](const auto& key) { return !key.press; })));
  ASSERT_TRUE(brindlet::testing::runUntilDone(io(), d.workspace->activate("BrindletEditor", 5s)));
  press("mute");
  const auto altA =
      seen([](const auto& key) { return key.press && key.keysym == 'a' && (key.state & 0x8); });
  EXPECT_TRUE(until(altA, 10s)) << std::ifstream(keys.file("xev")).rdbuf();
  EXPECT_TRUE(until([&] {
    const auto front = d.workspace->currentFrontApp();
    return front && front->bundleID == "BrindletEditor";
  })) << "the app in front before comes back";
  // A tick may still wait on the tree with the engine in hand; the engine must go before what
  // it uses does.
  std::weak_ptr<DeckEngine> gone = engine;
  engine.reset();
  EXPECT_TRUE(until([&] { return gone.expired(); }));
  brindlet::testing::drain(io());
}

}  // namespace
}  // namespace brindlet::deck
