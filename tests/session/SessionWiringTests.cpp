#include <gtest/gtest.h>

#include "session/SessionHarness.h"

namespace brindlet::session::testing {
namespace {

using desktop::KeyEvent;
using desktop::Modifier;

protocol::AgentCard card(std::string id, protocol::AgentState state) {
  protocol::AgentCard c;
  c.id = std::move(id);
  c.state = state;
  return c;
}

struct Wired {
  SessionHarness h;
  std::shared_ptr<RecordingDeck> deck = std::make_shared<RecordingDeck>();
  std::shared_ptr<RecordingAgents> agents = std::make_shared<RecordingAgents>();
  Wired() {
    deck->meetingLive = true;
    agents->cards = {card("w", protocol::AgentState::working),
                     card("n", protocol::AgentState::needsYou)};
    h.session->setDeck(deck);
    h.session->setAgents(agents);
  }
};

const Trace kFreshA = {"A: agentBoard n w", "A: deckProfile", "A: meetingDeck",
                       "A: deckState k1 k2"};

TEST(SessionWiring, ANewLinkGetsTheBoardThenTheDeckThenItsDisplay) {
  Wired w;
  EXPECT_FALSE(w.deck->send);  // no phone yet: the engine sends nothing
  EXPECT_FALSE(w.agents->isPhoneConnected());
  w.h.play("link A; pane A 393 852 3 monitor; bye A backgrounded; link A");
  Trace expected = kFreshA;
  expected.push_back("A: displayReady 589x1278@2 h264 #1 60fps");
  expected.push_back("A: end");
  // A reconnect is sent everything afresh before its display comes back.
  expected.insert(expected.end(), kFreshA.begin(), kFreshA.end());
  expected.push_back("A: displayReady 589x1278@2 h264 #1 60fps");
  EXPECT_EQ(w.h.phones, expected);
  EXPECT_TRUE(w.agents->isPhoneConnected());
}

TEST(SessionWiring, AfterTheEndNothingIsSent) {
  Wired w;
  w.h.play("link A; bye A userDisconnected");
  w.h.phones.clear();
  w.agents->onChange(w.agents->board());
  EXPECT_FALSE(w.deck->send);
  EXPECT_FALSE(w.agents->isPhoneConnected());
  w.h.settle();
  EXPECT_TRUE(w.h.phones.empty());
  // Another phone is sent every look again, although the first one had them all.
  w.h.play("link B");
  EXPECT_EQ(w.h.phones,
            (Trace{"B: agentBoard n w", "B: deckProfile", "B: meetingDeck", "B: deckState k1 k2"}));
  // The engine and the hub send on their own from now on.
  w.deck->send(protocol::DeckState{});
  w.agents->onChange(protocol::AgentBoard{});
  w.h.settle();
  EXPECT_EQ(w.h.phones.size(), 6u);
}

TEST(SessionWiring, TheHubTypesTextAndPressesKeysThroughTheSession) {
  Wired w;
  w.agents->typeText("yes");
  EXPECT_EQ(w.h.input->handled, Trace{"text"});
  brindlet::testing::runUntilDone(w.h.io, w.agents->pressKey("ctrl+c"));
  EXPECT_EQ(w.h.poster->posted,
            (std::vector<desktop::SyntheticEvent>{KeyEvent{8, true, Modifier::ctrl},
                                                  KeyEvent{8, false, Modifier::ctrl}}));
}

TEST(SessionWiring, PressKeyPostsTheCombinationDownAndUp) {
  SessionHarness h;
  // cmd+shift+t: the T key (17) with the flags 0x120000, command and shift.
  h.session->pressKey("cmd+shift+t");
  const auto flags = Modifier::cmd | Modifier::shift;
  EXPECT_EQ(h.poster->posted, (std::vector<desktop::SyntheticEvent>{KeyEvent{17, true, flags},
                                                                    KeyEvent{17, false, flags}}));
  h.poster->posted.clear();
  h.session->pressKey("cmd+shift+nothing");
  EXPECT_TRUE(h.poster->posted.empty());
}

}  // namespace
}  // namespace brindlet::session::testing
