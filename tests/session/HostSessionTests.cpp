#include "session/HostSession.h"

#include <gtest/gtest.h>

#include "session/SessionHarness.h"

namespace brindlet::session::testing {
namespace {

struct Scenario {
  std::string name;
  std::string steps;
  Trace phones;  // what the phones received, stats left out
  Trace calls;   // the display manager's and the streamer's
  Trace log;     // the session's and the input's lines
};

const std::string kSessionA = "info session: Session with Alpha over Wi-Fi \"Alpha\"";
const std::string kSessionB = "info session: Session with Bravo over Wi-Fi \"Bravo\"";
const std::string kReadyA = "A: displayReady 589x1278@2 h264 #1 60fps";
const std::string kAttachA = "attach Alpha (Brindlet) 589x1278";
const std::string kStartA = "start 1178x2556 h264 balanced on 1";
const std::string kPaneA = "link A; pane A 393 852 3 monitor";

TEST(HostSession, Scenarios) {
  const std::vector<Scenario> scenarios = {
      {"a second phone is refused as busy",
       "link A; link B",
       {"B: bye busy", "B: end"},
       {},
       {kSessionA, "info session: Refusing Bravo: busy"}},
      {"a pane attaches, says displayReady and streams",
       kPaneA,
       {kReadyA},
       {kAttachA, kStartA},
       {kSessionA}},
      {"half pixels round away from zero",
       "link A; pane A 402.5 874 3 monitor",
       {"A: displayReady 604x1311@2 h264 #1 60fps"},
       {"attach Alpha (Brindlet) 604x1311", "start 1208x2622 h264 balanced on 1"},
       {kSessionA}},
      {"the same pane again changes nothing",
       kPaneA + "; pane A 393 852 3 monitor",
       {kReadyA},
       {kAttachA, kStartA},
       {kSessionA}},
      {"a deck-only pane takes the display away",
       kPaneA + "; pane A 393 852 3 deckOnly",
       {kReadyA, "A: displayGone"},
       {kAttachA, kStartA, "stop", "detach"},
       {kSessionA}},
      {"a deck-only pane without a display sends nothing",
       "link A; pane A 393 852 3 deckOnly",
       {},
       {},
       {kSessionA}},
      {"a link from the same route replaces the current one; the old one is not served",
       kPaneA + "; link A; ping A1 1; ping A 2",
       {kReadyA, kReadyA, "A: pong 2"},
       {kAttachA, kStartA, "stop", kAttachA, kStartA},
       {kSessionA, kSessionA}},
      {"a reconnect within the grace period gets displayReady unasked",
       kPaneA + "; drop A; pass 9.9; link A",
       {kReadyA, "A: end", kReadyA},
       {kAttachA, kStartA, "stop", kAttachA, kStartA},
       {kSessionA, "info session: Client dropped: closed", kSessionA}},
      {"the grace period runs out: the display goes and the pane is forgotten",
       kPaneA + "; drop A; pass 10; link A",
       {kReadyA, "A: end"},
       {kAttachA, kStartA, "stop", "detach"},
       {kSessionA, "info session: Client dropped: closed", kSessionA}},
      {"another phone releases a kept display at once",
       kPaneA + "; drop A; pass 3; link B; pass 10",
       {kReadyA, "A: end"},
       {kAttachA, kStartA, "stop", "detach"},
       {kSessionA, "info session: Client dropped: closed", kSessionB}},
      {"a drop without a display leaves nothing to keep",
       "link A; drop A; pass 10",
       {"A: end"},
       {},
       {kSessionA, "info session: Client dropped: closed"}},
      {"a drop of another route changes nothing",
       kPaneA + "; link B; drop B",
       {kReadyA, "B: bye busy", "B: end"},
       {kAttachA, kStartA},
       {kSessionA, "info session: Refusing Bravo: busy"}},
      {"bye backgrounded keeps the display for the grace period",
       kPaneA + "; bye A backgrounded; pass 9; link A",
       {kReadyA, "A: end", kReadyA},
       {kAttachA, kStartA, "stop", kAttachA, kStartA},
       {kSessionA, "info session: Client said bye: backgrounded", kSessionA}},
      {"bye for another reason releases the display without displayGone",
       kPaneA + "; bye A userDisconnected",
       {kReadyA, "A: end"},
       {kAttachA, kStartA, "stop", "detach"},
       {kSessionA, "info session: Client said bye: userDisconnected"}},
      {"a pane kept after bye comes back with the same phone, before it sends one",
       kPaneA + "; bye A userDisconnected; link A",
       {kReadyA, "A: end", "A: displayReady 589x1278@2 h264 #2 60fps"},
       {kAttachA, kStartA, "stop", "detach", kAttachA, "start 1178x2556 h264 balanced on 2"},
       {kSessionA, "info session: Client said bye: userDisconnected", kSessionA}},
      {"a pane kept after another phone's session without a pane comes back",
       kPaneA + "; drop A; link B; bye B userDisconnected; link A",
       {kReadyA, "A: end", "B: end", "A: displayReady 589x1278@2 h264 #2 60fps"},
       {kAttachA, kStartA, "stop", "detach", kAttachA, "start 1178x2556 h264 balanced on 2"},
       {kSessionA, "info session: Client dropped: closed", kSessionB,
        "info session: Client said bye: userDisconnected", kSessionA}},
      {"a failing read ends the read loop, not the session",
       "link A; break A",
       {"A: end"},
       {},
       {kSessionA, "debug session: Read loop ended: connectionFailed(\"broken pipe\")"}},
      {"ping is answered with its own time",
       "link A; ping A 12.5",
       {"A: pong 12.5"},
       {},
       {kSessionA}},
      {"input without a display is dropped",
       "link A; touch A ended",
       {},
       {},
       {kSessionA, "debug input: touch from the client", "info input: Dropped touch: no display"}},
      {"messages the computer does not act on are logged",
       "link A; hello A",
       {},
       {},
       {kSessionA, "debug session: Ignoring hello"}},
  };
  for (const auto& s : scenarios) {
    SCOPED_TRACE(s.name);
    SessionHarness h;
    h.play(s.steps);
    EXPECT_EQ(h.phones, s.phones);
    EXPECT_EQ(h.calls, s.calls);
    EXPECT_EQ(h.logLines(), s.log);
  }
}

protocol::Pane pane(double w, double h) {
  protocol::Pane p;
  p.w = w;
  p.h = h;
  p.scale = 3;
  p.mode = protocol::Mode::monitor;
  return p;
}

// A phone sends its pane the moment it is linked: the pane may wait in the link before the
// session begins, come while the deck's first messages are held back, or come after them. The
// display is attached, announced and streamed once, after the deck's first messages; of two
// panes the second wins.
TEST(HostSession, APaneIsAppliedOnceHoweverItMeetsTheStartOfTheSession) {
  enum class When { waiting, duringDeck, afterDeck };
  struct Case {
    std::string name;
    std::string before;  // an earlier session's steps
    When when;
    std::vector<protocol::Pane> panes;
    Trace phones;  // after the deck's first messages
    Trace calls;
  };
  const auto small = pane(393, 852), large = pane(402.5, 874);
  const std::string kReadyLarge = "A: displayReady 604x1311@2 h264 #1 60fps";
  const Trace kLarge = {"attach Alpha (Brindlet) 604x1311", "start 1208x2622 h264 balanced on 1"};
  const std::vector<Case> cases = {
      {"waiting in the link", "", When::waiting, {small}, {kReadyA}, {kAttachA, kStartA}},
      {"during the deck's first messages",
       "",
       When::duringDeck,
       {small},
       {kReadyA},
       {kAttachA, kStartA}},
      {"after the deck's first messages",
       "",
       When::afterDeck,
       {small},
       {kReadyA},
       {kAttachA, kStartA}},
      {"two waiting: the second", "", When::waiting, {small, large}, {kReadyLarge}, kLarge},
      {"two during the deck's messages: the second",
       "",
       When::duringDeck,
       {small, large},
       {kReadyLarge},
       kLarge},
      {"two after the deck's messages: each in turn",
       "",
       When::afterDeck,
       {small, large},
       {kReadyA, "A: displayReady 604x1311@2 h264 #2 60fps"},
       {kAttachA, kStartA, "stop", "attach Alpha (Brindlet) 604x1311",
        "start 1208x2622 h264 balanced on 2"}},
      {"back within the grace period, the same pane waiting",
       kPaneA + "; drop A",
       When::waiting,
       {small},
       {kReadyA},
       {kAttachA, kStartA}},
      {"back after bye, another pane waiting: not the kept one",
       kPaneA + "; bye A userDisconnected",
       When::waiting,
       {large},
       {"A: displayReady 604x1311@2 h264 #2 60fps"},
       {"attach Alpha (Brindlet) 604x1311", "start 1208x2622 h264 balanced on 2"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    SessionHarness h;
    auto deck = std::make_shared<RecordingDeck>();
    h.session->setDeck(deck);
    if (!c.before.empty()) h.play(c.before);
    h.phones.clear();
    h.calls.clear();
    std::vector<ControlMessage> first;
    if (c.when == When::waiting) first.assign(c.panes.begin(), c.panes.end());
    deck->holdRefresh = true;
    auto phone = h.link(alpha(), first);
    if (c.when == When::duringDeck)
      for (const auto& p : c.panes) h.send(*phone, p);
    ASSERT_TRUE(deck->held);
    deck->held->resume({});
    h.settle();
    if (c.when == When::afterDeck)
      for (const auto& p : c.panes) h.send(*phone, p);
    Trace phones = {"A: deckProfile", "A: deckState k1 k2"};
    phones.insert(phones.end(), c.phones.begin(), c.phones.end());
    EXPECT_EQ(h.phones, phones);
    EXPECT_EQ(h.calls, c.calls);
    EXPECT_TRUE(h.session->hasStream.get());
    EXPECT_EQ(h.session->lastPane()->pane, c.panes.back());
  }
}

}  // namespace
}  // namespace brindlet::session::testing
