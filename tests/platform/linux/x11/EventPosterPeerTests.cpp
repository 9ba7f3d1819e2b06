#include "platform/linux/x11/X11EventPoster.h"

#include <gtest/gtest.h>

#include <map>
#include <sstream>

#include "profiles/Shortcut.h"
#include "runtime/MainLoop.h"
#include "runtime/Task.h"
#include "support/Eventually.h"
#include "support/Loop.h"
#include "support/XClientOutput.h"
#include "support/XServer.h"

namespace brindlet::platform {
namespace {

using namespace std::chrono_literals;
using desktop::Modifier;
using testsupport::ChildProcess;
using testsupport::XServer;

using testsupport::XevKey;

class EventPosterOnXvfb : public ::testing::Test {
 protected:
  void SetUp() override {
    poster =
        brindlet::testing::runUntilDone(loop.context(), X11EventPoster::open(server.display()));
    ASSERT_TRUE(poster->isTrusted());
  }

  void flush() { brindlet::testing::runUntilDone(loop.context(), poster->flushed()); }

  // xev under the pointer, its keymap loaded.
  std::unique_ptr<ChildProcess> xev() {
    auto client = testsupport::startXev(server);
    poster->post(desktop::PointerMotion{300, 200});
    constexpr std::uint16_t kF13 = 0x69;
    poster->post({desktop::KeyEvent{kF13, true, {}}, desktop::KeyEvent{kF13, false, {}}});
    flush();
    EXPECT_EQ(keys(*client, 0).size(), 0u);
    return client;
  }

  // Reads xev until it has printed `count` key events after the first two.
  static std::vector<XevKey> keys(ChildProcess& client, std::size_t count) {
    auto all = testsupport::readUntil(client, testsupport::xevKeys, count + 2, 15s);
    all.erase(all.begin(), all.begin() + std::min<std::size_t>(2, all.size()));
    return all;
  }

  std::string keymap() const { return server.run({"xmodmap", "-pke"}).output; }

  XServer server;
  runtime::MainLoop loop;
  std::unique_ptr<X11EventPoster> poster;
};

TEST_F(EventPosterOnXvfb, KeyNamesAndMediaKeysArriveAsTheirKeysyms) {
  // The us layout's keysym for every key name a profile may use.
  std::map<std::string, std::string> expected;
  std::istringstream pairs(
      "- minus = equal [ bracketleft ] bracketright \\ backslash ; semicolon ' apostrophe "
      "` grave , comma . period / slash return Return enter Return tab Tab space space "
      "delete BackSpace backspace BackSpace escape Escape esc Escape forwarddelete Delete "
      "home Home end End pageup Prior pagedown Next left Left right Right down Down up Up");
  for (std::string name, keysym; pairs >> name >> keysym;) expected[name] = keysym;
  for (char c = 'a'; c <= 'z'; ++c) expected[std::string(1, c)] = std::string(1, c);
  for (char c = '0'; c <= '9'; ++c) expected[std::string(1, c)] = std::string(1, c);
  for (int f = 1; f <= 12; ++f) expected["f" + std::to_string(f)] = "F" + std::to_string(f);
  ASSERT_EQ(profiles::Shortcut::keyCodes().size(), 76u);
  ASSERT_EQ(expected.size(), 76u);
  const std::pair<desktop::MediaKey, const char*> media[] = {
      {desktop::MediaKey::volumeUp, "XF86AudioRaiseVolume"},
      {desktop::MediaKey::volumeDown, "XF86AudioLowerVolume"},
      {desktop::MediaKey::mute, "XF86AudioMute"},
      {desktop::MediaKey::playPause, "XF86AudioPlay"},
      {desktop::MediaKey::next, "XF86AudioNext"},
      {desktop::MediaKey::previous, "XF86AudioPrev"}};

  auto client = xev();
  std::vector<std::string> wanted;
  for (const auto& [name, code] : profiles::Shortcut::keyCodes()) {
    poster->post({desktop::KeyEvent{code, true, {}}, desktop::KeyEvent{code, false, {}}});
    wanted.push_back("+" + expected.at(name));
    wanted.push_back("-" + expected.at(name));
  }
  for (const auto& [key, name] : media) {
    poster->post({desktop::MediaKeyEvent{key, true}, desktop::MediaKeyEvent{key, false}});
    wanted.push_back(std::string("+") + name);
    wanted.push_back(std::string("-") + name);
  }
  flush();
  EXPECT_EQ(testsupport::pressNames(keys(*client, wanted.size())), wanted);
}

TEST_F(EventPosterOnXvfb, ACombinationHoldsItsModifiersOnlyAroundTheKey) {
  auto client = xev();
  const desktop::Modifiers mods = Modifier::cmd | Modifier::shift;
  constexpr std::uint16_t kT = 17, kA = 0;
  poster->post({desktop::KeyEvent{kT, true, mods}, desktop::KeyEvent{kT, false, mods},
                desktop::KeyEvent{kA, true, {}}, desktop::KeyEvent{kA, false, {}}});
  flush();
  const auto seen = keys(*client, 8);
  EXPECT_EQ(testsupport::pressNames(seen),
            (std::vector<std::string>{"+Super_L", "+Shift_L", "+T", "-T", "-Shift_L", "-Super_L",
                                      "+a", "-a"}));
  ASSERT_EQ(seen.size(), 8u);
  EXPECT_EQ(seen[2].state, 0x41u);  // Shift and Mod4 (Super)
  EXPECT_EQ(seen[6].state, 0u);     // nothing held afterwards
}

TEST_F(EventPosterOnXvfb, PointerButtonsAndWheelsArriveInOrder) {
  auto watcher = testsupport::startPointerWatcher(server);
  using desktop::ButtonEvent;
  using desktop::MouseButton;
  poster->post({desktop::PointerMotion{10, 10}, ButtonEvent{MouseButton::left, true, 10, 10},
                desktop::PointerMotion{20, 20}, desktop::PointerMotion{30, 30},
                ButtonEvent{MouseButton::left, false, 30, 30}, desktop::WheelClicks{1, 0},
                desktop::WheelClicks{-1, 0}, desktop::WheelClicks{0, 1},
                desktop::WheelClicks{0, -1}});
  flush();
  const std::vector<std::string> wanted{"Motion", "+1", "Motion", "-1", "+4", "-4",
                                        "+5",     "-5", "+6",     "-6", "+7", "-7"};
  const auto seen =
      testsupport::readUntil(*watcher, testsupport::xinputPointerEvents, wanted.size());
  EXPECT_EQ(seen, wanted);
}

TEST_F(EventPosterOnXvfb, TextArrivesAsItsCodePointsAndTheKeymapIsGivenBack) {
  const std::string before = keymap();
  // Characters and their code points: accents, CJK, a flag of two code points.
  const std::vector<std::pair<std::string, std::vector<unsigned>>> pool{{"a", {0x61}},
                                                                        {"é", {0xE9}},
                                                                        {"ß", {0xDF}},
                                                                        {"Å", {0xC5}},
                                                                        {"中", {0x4E2D}},
                                                                        {"語", {0x8A9E}},
                                                                        {"한", {0xD55C}},
                                                                        {"Ж", {0x416}},
                                                                        {"€", {0x20AC}},
                                                                        {"😀", {0x1F600}},
                                                                        {"🇩🇪", {0x1F1E9, 0x1F1EA}},
                                                                        {" ", {0x20}}};
  std::vector<std::string> characters;
  std::vector<unsigned> wanted;
  for (std::size_t i = 0; characters.size() < 200; ++i) {
    const auto& [text, points] = pool[(i * 7 + i / 3) % pool.size()];
    characters.push_back(text);
    wanted.insert(wanted.end(), points.begin(), points.end());
  }

  auto client = xev();
  // Typed at full speed, in pieces of different lengths.
  std::string piece;
  for (std::size_t i = 0; i < characters.size(); ++i) {
    piece += characters[i];
    if (i % 9 == 0 || i + 1 == characters.size()) {
      poster->post(desktop::TextEvent{piece});
      piece.clear();
    }
  }
  // Read while the poster types: xev stops when its output pipe is full, and would fall behind.
  std::vector<unsigned> seen;
  for (const auto& k : keys(*client, wanted.size() * 2)) {
    if (k.press) seen.push_back(testsupport::codePoint(k));
  }
  EXPECT_EQ(seen, wanted);

  // The spare keycodes are given back once typing has stopped for a moment.
  EXPECT_TRUE(testsupport::eventually([&] { return keymap() == before; }, 5s, 100ms));
}

TEST_F(EventPosterOnXvfb, ALostServerMakesThePosterUntrustedAndTheProcessLives) {
  server.kill();
  poster->post(desktop::TextEvent{"x"});
  flush();
  EXPECT_FALSE(poster->isTrusted());
  poster->post(desktop::TextEvent{"dropped"});
  poster.reset();
}

}  // namespace
}  // namespace brindlet::platform
