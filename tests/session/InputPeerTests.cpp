// The phone's input from envelope bytes through the injector and the real event poster to an X
// server, read back with xdotool, xinput and xev.

#include <gtest/gtest.h>

#include "platform/linux/x11/X11EventPoster.h"
#include "protocol/Frame.h"
#include "runtime/MainLoop.h"
#include "runtime/MemoryDefaults.h"
#include "runtime/Task.h"
#include "session/InputInjector.h"
#include "support/Loop.h"
#include "support/XClientOutput.h"
#include "support/XServer.h"

namespace brindlet::session {
namespace {

using namespace std::chrono_literals;
using protocol::ScrollPhase;
using protocol::TouchPhase;
using testsupport::ChildProcess;

protocol::Touch touch(TouchPhase phase, double x, double y) {
  return {phase, x, y, protocol::MouseButton::left, {}, {}};
}

class InjectorOnXvfb : public ::testing::Test {
 protected:
  void SetUp() override {
    poster = brindlet::testing::runUntilDone(loop.context(),
                                             platform::X11EventPoster::open(server.display()));
    injector = std::make_unique<InputInjector>(
        InputInjector::Options{*poster, runtime::Clock::system(), defaults});
  }

  // The message as the phone sends it, read back from its frame's bytes and injected.
  void send(protocol::ControlMessage message) {
    const auto bytes = protocol::ControlEnvelope(std::move(message), counter).frame().encoded();
    const auto received = protocol::ControlEnvelope::of(protocol::Frame::decode(bytes));
    EXPECT_EQ(injector->handle(received.message, display), InputOutcome::posted);
  }
  void flush() { brindlet::testing::runUntilDone(loop.context(), poster->flushed()); }
  std::string pointer() {
    flush();
    const auto out = server.run({"xdotool", "getmouselocation"}).output;
    return out.substr(0, out.find(" screen"));
  }

  testsupport::XServer server;
  runtime::MainLoop loop;
  std::unique_ptr<platform::X11EventPoster> poster;
  runtime::MemoryDefaults defaults;
  std::unique_ptr<InputInjector> injector;
  protocol::MessageCounter counter;
  const DisplayRect display{{200, 100, 400, 300}, 1};
};

TEST_F(InjectorOnXvfb, TapsDragsScrollsAndTheDockPushMoveTheServersPointer) {
  auto watcher = testsupport::startPointerWatcher(server);

  send(touch(TouchPhase::began, 0.5, 0.5));
  send(touch(TouchPhase::ended, 0.5, 0.5));
  EXPECT_EQ(pointer(), "x:400 y:250");

  // Held on the right edge for three moves: 24, 48, 72 pixels past it.
  send(touch(TouchPhase::began, 0.5, 0.5));
  for (int i = 0; i < 3; ++i) send(touch(TouchPhase::moved, 1.0, 0.5));
  send(touch(TouchPhase::ended, 1.0, 0.5));
  EXPECT_EQ(pointer(), "x:672 y:250");

  // Two fingers: 20 pixels up, 25 more, then 40 to the right; at the display's centre, since
  // the last point lies outside it.
  send(protocol::Scroll{0, 20, ScrollPhase::began, false});
  send(protocol::Scroll{0, 25, ScrollPhase::changed, false});
  send(protocol::Scroll{-40, 0, ScrollPhase::changed, false});
  send(protocol::Scroll{0, 0, ScrollPhase::ended, false});
  EXPECT_EQ(pointer(), "x:400 y:250");

  defaults.setText("dockEdge", "bottom");
  brindlet::testing::runUntilDone(loop.context(), injector->pushDock(display));
  EXPECT_EQ(pointer(), "x:400 y:399");

  const std::vector<std::string> wanted{"+1", "-1", "+1", "-1", "+4", "-4", "+4",
                                        "-4", "+4", "-4", "+7", "-7", "+7", "-7"};
  auto buttons = [](const std::string& output) {
    auto events = testsupport::xinputPointerEvents(output);
    std::erase(events, "Motion");
    return events;
  };
  EXPECT_EQ(testsupport::readUntil(*watcher, buttons, wanted.size()), wanted);
}

TEST_F(InjectorOnXvfb, KeysAndTextReachXevAsKeysymsAndCodePoints) {
  auto xev = testsupport::startXev(server);
  send(touch(TouchPhase::moved, 0.25, 0.25));  // over xev's window, which then has the focus
  // The first key loads xev's keymap: F13, read and left out.
  constexpr std::uint16_t kF13 = 0x69, kA = 0;
  send(protocol::Key{kF13, true, {}});
  send(protocol::Key{kF13, false, {}});
  flush();
  ASSERT_EQ(testsupport::readUntil(*xev, testsupport::xevKeys, 2).size(), 2u);

  send(protocol::Key{kA, true, {protocol::Modifier::shift}});
  send(protocol::Key{kA, false, {protocol::Modifier::shift}});
  send(protocol::TypedText{
      "\xC3\xA9\xE2\x82\xAC\xF0\x9F\x87\xA9\xF0\x9F\x87\xAA"});  // é€ and a flag
  flush();
  auto keys = testsupport::readUntil(*xev, testsupport::xevKeys, 2 + 4 + 8);
  ASSERT_GE(keys.size(), 6u);
  keys.erase(keys.begin(), keys.begin() + 2);
  std::vector<std::string> names;
  std::vector<unsigned> typed;
  for (std::size_t i = 0; i < keys.size(); ++i) {
    if (i < 4) names.push_back(testsupport::pressName(keys[i]));
    if (i >= 4 && keys[i].press) typed.push_back(testsupport::codePoint(keys[i]));
  }
  EXPECT_EQ(names, (std::vector<std::string>{"+Shift_L", "+A", "-A", "-Shift_L"}));
  EXPECT_EQ(typed, (std::vector<unsigned>{0xE9, 0x20AC, 0x1F1E9, 0x1F1EA}));
}

}  // namespace
}  // namespace brindlet::session
