#include <gtest/gtest.h>

#include <algorithm>

#include <boost/asio/steady_timer.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>

#include "secrets/MemorySecretStore.h"
#include "session/HostSession.h"
#include "session/SessionHarness.h"
#include "streaming/VideoTypes.h"

namespace brindlet::session::testing {
namespace {

namespace asio = boost::asio;
using runtime::LogLevel;

class SessionTest : public ::testing::Test {
 protected:
  std::vector<std::string> lines(LogLevel level, const char* category = "session") {
    return h.log.messages(category, level);
  }
  SessionHarness h;
};

TEST_F(SessionTest, StartsOnce) {
  brindlet::testing::runUntilDone(h.io, h.session->start());
  EXPECT_EQ(h.transport->starts, 1);
  EXPECT_EQ(h.transport->eventReads, 1);
}

// A pairing key is taken only for the phone whose key the link itself proved, or over USB.
TEST(SessionPairing, StoresAKeyOnlyForThePhoneTheLinkWasMadeFor) {
  const std::string refused =
      "Not storing the pairing key from Alpha: its link was not made with that phone's key";
  auto dialled = [](std::optional<std::string> uid) {
    auto setup = alpha();
    setup.dialedUid = std::move(uid);
    return setup;
  };
  auto usb = alpha();
  usb.route = transport::Route::usb(3, "SERIAL");
  struct Case {
    std::string name;
    PhoneSetup setup;
    bool stored;
    std::vector<std::string> errors;
  };
  const std::vector<Case> cases = {
      {"Wi-Fi, dialled with this phone's key", dialled("U-A"), true, {}},
      {"Wi-Fi, dialled with another phone's key", dialled("U-B"), false, {refused}},
      {"a plain link", dialled(std::nullopt), false, {refused}},
      {"USB", usb, true, {}},
      {"a phone without uid", phoneSetup("A", "Alpha"), false, {}},
  };
  const runtime::Bytes psk(32, 9);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    SessionHarness h;
    auto phone = h.link(c.setup);
    h.send(*phone, protocol::PairOK{psk});
    if (c.stored) {
      EXPECT_EQ(h.run(h.pairing->identities()), std::vector<std::string>{"U-A"});
      EXPECT_EQ(h.run(h.pairing->key("U-A")), transport::SymmetricKey(psk));
    } else {
      EXPECT_TRUE(h.run(h.pairing->identities()).empty());
    }
    EXPECT_EQ(h.log.messages("session", LogLevel::error), c.errors);
  }
}

// A keyring that answers only after 2 s holds up the key's save and nothing else: the loop goes
// on meanwhile, the key is kept, and the phone is still heard.
TEST(SessionPairing, ASlowKeyringHoldsUpOnlyTheSave) {
  auto secrets = std::make_shared<secrets::MemorySecretStore>();
  secrets->delayAnswers(2s);
  SessionHarness h(std::make_shared<transport::KeychainPairingStore>(secrets, "pairing"));
  int ticks = 0;
  auto ticking = [&]() -> asio::awaitable<void> {
    asio::steady_timer timer(co_await asio::this_coro::executor);
    for (;;) {
      timer.expires_after(20ms);
      co_await timer.async_wait(asio::use_awaitable);
      ++ticks;
    }
  };
  auto ticker = runtime::spawn(h.io.get_executor(), ticking());
  auto usb = alpha();
  usb.route = transport::Route::usb(3, "SERIAL");
  auto phone = h.link(usb);
  const runtime::Bytes psk(32, 7);

  const int before = ticks;
  h.send(*phone, protocol::PairOK{psk});  // settles once the save has answered
  EXPECT_GE(ticks - before, 10);          // some 100 ticks pass while the keyring waits
  h.play("ping A 12.5");
  EXPECT_EQ(h.phones.back(), "A: pong 12.5");
  ticker.cancel();
  h.settle();

  secrets->delayAnswers(0ms);
  EXPECT_EQ(secrets->read("pairing", "U-A"), psk);
}

TEST_F(SessionTest, OnlyTextKeyDownAndTouchEndedArmTheFollower) {
  const std::pair<std::string, bool> cases[] = {
      {"touch A began", false},     {"touch A moved", false}, {"touch A ended", true},
      {"touch A cancelled", false}, {"scroll A", false},      {"key A down", true},
      {"key A up", false},          {"text A hi", true},
  };
  h.play("link A; pane A 393 852 3 monitor");
  for (const auto& [step, arms] : cases) {
    SCOPED_TRACE(step);
    h.follower->armed.clear();
    h.play(step);
    EXPECT_EQ(h.follower->armed,
              arms ? std::vector{SessionHarness::kBounds} : std::vector<desktop::Rect>{});
    EXPECT_EQ(h.input->lastRect, (DisplayRect{SessionHarness::kBounds, 2}));
  }
  EXPECT_EQ(h.input->handled.size(), std::size(cases));
}

// The injector reports a missing permission once; the inputs it then drops unposted leave the
// flag set, and only input that passes clears it.
TEST_F(SessionTest, NeedsAccessibilityStaysUntilInputPasses) {
  h.play("link A; pane A 393 852 3 monitor");
  h.input->outcomes = {InputOutcome::noAccess, InputOutcome::stillNoAccess, InputOutcome::posted};
  h.play("touch A ended");
  EXPECT_TRUE(h.session->needsAccessibility.get());
  EXPECT_EQ(h.accessibilityRequests, 1);
  h.play("touch A ended");
  EXPECT_TRUE(h.session->needsAccessibility.get());
  EXPECT_EQ(h.accessibilityRequests, 1);
  EXPECT_TRUE(h.follower->armed.empty());
  h.play("touch A ended");
  EXPECT_FALSE(h.session->needsAccessibility.get());
  EXPECT_EQ(h.follower->armed.size(), 1u);
  // X has no permission prompt to show: the request is only logged.
  EXPECT_EQ(lines(LogLevel::info).back(),
            "Input needs the display's XTest extension; there is no permission to ask for");
}

TEST_F(SessionTest, APaneBeyondTheLargestSideAttachesNothing) {
  h.play("link A; pane A 2731 852 3 monitor");
  EXPECT_TRUE(h.calls.empty());
  EXPECT_TRUE(h.phones.empty());
  EXPECT_EQ(h.session->lastError.get(), "Display: invalidSize(width: 8193, height: 2556)");
  EXPECT_EQ(lines(LogLevel::error),
            std::vector<std::string>{"Attach failed: invalidSize(width: 8193, height: 2556)"});
  EXPECT_EQ(h.session->mode.get(), protocol::Mode::monitor);
}

TEST_F(SessionTest, AFailedAttachKeepsTheOldConfigurationAndTellsThePhoneNothing) {
  h.displays->failNext = streaming::DisplayError::timedOut();
  h.play("link A; pane A 393 852 3 monitor");
  EXPECT_TRUE(h.phones.empty());
  EXPECT_EQ(h.session->lastError.get(), "Display: timedOut");
  EXPECT_EQ(lines(LogLevel::error), std::vector<std::string>{"Attach failed: timedOut"});
  EXPECT_FALSE(h.session->config());
  EXPECT_FALSE(h.session->displayID.get());
}

// The stream stopped for an attach that then failed: the same pane as before brings the video
// back instead of finding "this display, streaming" and doing nothing.
TEST_F(SessionTest, TheSamePaneRestartsAStreamAFailedAttachStopped) {
  h.play("link A; pane A 393 852 3 monitor");
  h.displays->failNext = streaming::DisplayError::timedOut();
  h.play("pane A 393 800 3 monitor");
  EXPECT_FALSE(h.session->hasStream.get());
  h.play("pane A 393 852 3 monitor");
  EXPECT_TRUE(h.session->hasStream.get());
  EXPECT_EQ(h.calls,
            (Trace{"attach Alpha (Brindlet) 589x1278", "start 1178x2556 h264 balanced on 1", "stop",
                   "attach Alpha (Brindlet) 589x1200", "attach Alpha (Brindlet) 589x1278",
                   "start 1178x2556 h264 balanced on 1"}));
  EXPECT_EQ(h.phones.size(), 2u);
}

TEST_F(SessionTest, AFailedStreamKeepsTheDisplay) {
  h.streamer->failNext =
      streaming::StreamError::encoder(streaming::EncoderError::sessionCreation(-1));
  h.play("link A; pane A 393 852 3 monitor");
  const std::string text = "encoder(sessionCreation(-1))";
  EXPECT_EQ(h.session->lastError.get(), "Stream: " + text);
  EXPECT_EQ(lines(LogLevel::error), std::vector<std::string>{"Stream failed: " + text});
  EXPECT_EQ(h.phones, Trace{"A: displayReady 589x1278@2 h264 #1 60fps"});
  EXPECT_FALSE(h.session->hasStream.get());
  EXPECT_EQ(h.session->displayID.get(), 1u);
  // A new session clears the error.
  h.play("bye A backgrounded; link A");
  EXPECT_FALSE(h.session->lastError.get());
}

// A bye read while the reconnect's attach is under way: the display that comes up is kept or
// released as the bye's reason says, not left behind for a gone link.
TEST(SessionOrphans, ADisplayAttachedForAGoneLinkFollowsHowTheLinkEnded) {
  struct Case {
    std::string reason;
    bool graced;
  };
  for (const auto& c : {Case{"backgrounded", true}, Case{"userDisconnected", false}}) {
    SCOPED_TRACE(c.reason);
    SessionHarness h;
    h.play("link A; pane A 393 852 3 monitor; bye A userDisconnected");
    h.calls.clear();
    h.displays->holdNext = true;
    h.play("link A; bye A " + c.reason);
    ASSERT_TRUE(h.displays->held);
    h.displays->held->resume({});
    h.settle();
    EXPECT_FALSE(h.session->link());
    if (c.graced) {
      EXPECT_TRUE(h.session->inGrace());
      EXPECT_EQ(h.calls, Trace{"attach Alpha (Brindlet) 589x1278"});
      h.pass(std::chrono::seconds(10));
    }
    EXPECT_EQ(h.calls, (Trace{"attach Alpha (Brindlet) 589x1278", "detach"}));
    EXPECT_FALSE(h.session->displayID.get());
    EXPECT_FALSE(h.session->hasStream.get());
  }
}

// The same for a stream that was still starting: it is stopped once it has started.
TEST(SessionOrphans, AStreamStartedForAGoneLinkIsStopped) {
  SessionHarness h;
  h.play("link A; pane A 393 852 3 monitor; bye A userDisconnected");
  h.calls.clear();
  h.streamer->holdNext = true;
  h.play("link A; bye A backgrounded");
  ASSERT_TRUE(h.streamer->held);
  h.streamer->held->resume({});
  h.settle();
  EXPECT_EQ(h.calls, (Trace{"attach Alpha (Brindlet) 589x1278",
                            "start 1178x2556 h264 balanced on 2", "stop"}));
  EXPECT_FALSE(h.streamer->pipeline());
  EXPECT_FALSE(h.session->hasStream.get());
  EXPECT_TRUE(h.session->inGrace());
}

// The phone's last messages wait unread behind a pane whose display or stream is slow to come,
// and then its link ends: a bye among them ends the session as that bye says, not as a drop.
TEST(SessionOrphans, AByeUnreadWhenTheLinkEndsIsHonoured) {
  struct Case {
    bool holdAttach;  // else the stream's start
    std::string bye;  // none: the link just ends
    std::string line;
    bool graced;
  };
  const std::vector<Case> cases{
      {true, "userDisconnected", "Client said bye: userDisconnected", false},
      {false, "userDisconnected", "Client said bye: userDisconnected", false},
      {true, "backgrounded", "Client said bye: backgrounded", true},
      {false, "backgrounded", "Client said bye: backgrounded", true},
      {false, "", "Client dropped: closed", true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE((c.holdAttach ? "attach held, " : "start held, ") + c.bye);
    SessionHarness h;
    h.play("link A");
    bool& hold = c.holdAttach ? h.displays->holdNext : h.streamer->holdNext;
    hold = true;
    h.play("pane A 393 852 3 monitor; touch A ended");
    if (!c.bye.empty()) h.play("bye A " + c.bye);
    h.play("drop A");
    auto& held = c.holdAttach ? h.displays->held : h.streamer->held;
    ASSERT_TRUE(held);
    held->resume({});
    h.settle();
    const auto said = h.log.messages("session", LogLevel::info);
    EXPECT_EQ(std::count(said.begin(), said.end(), c.line), 1) << ::testing::PrintToString(said);
    EXPECT_EQ(std::count_if(said.begin(), said.end(),
                            [](const std::string& l) { return l.starts_with("Client "); }),
              1);
    EXPECT_FALSE(h.session->link());
    EXPECT_FALSE(h.session->hasStream.get());
    EXPECT_EQ(h.session->inGrace(), c.graced);
    EXPECT_EQ(h.session->displayID.get().has_value(), c.graced);
  }
}

TEST_F(SessionTest, ThePhonesStatisticsGoWithItsLink) {
  h.play("link A");
  h.send(h.phone("A"), protocol::Stats{33.5, 60, 0, 8000, 4.0});
  EXPECT_EQ(h.session->clientStats.get()->rttMs, 33.5);
  h.play("drop A");
  EXPECT_FALSE(h.session->clientStats.get());
  h.play("link B; pass 1");
  ASSERT_EQ(h.phone("B").stats.size(), 1u);
  EXPECT_EQ(h.phone("B").stats[0].rttMs, 0);
}

TEST_F(SessionTest, QualityIsAppliedOnEverySetAndUsedByTheNextStream) {
  int notified = 0;
  auto subscription = h.session->subscribeQuality([&](auto) { ++notified; });
  h.session->setQuality(streaming::VideoQuality::balanced);
  h.session->setQuality(streaming::VideoQuality::best);
  EXPECT_EQ(notified, 1);
  h.play("link A; pane A 393 852 3 monitor");
  EXPECT_EQ(h.calls, (Trace{"quality balanced", "quality best", "attach Alpha (Brindlet) 589x1278",
                            "start 1178x2556 h264 best on 1"}));
}

TEST_F(SessionTest, AQualityTheEncoderRefusesIsNotShownAsCurrent) {
  h.play("link A; pane A 393 852 3 monitor");
  h.session->setQuality(streaming::VideoQuality::best);
  ASSERT_TRUE(h.streamer->refused);
  h.streamer->refused(streaming::VideoQuality::balanced);
  EXPECT_EQ(h.session->quality(), streaming::VideoQuality::balanced);
}

TEST_F(SessionTest, HEVCIsChosenWhenASessionBegins) {
  auto setup = alpha();
  setup.hello.caps = {protocol::Capability::hevc};
  h.link(setup);
  h.play("pane A 393 852 3 monitor");
  h.session->preferHEVC.set(true);
  EXPECT_EQ(h.session->codec(), protocol::Codec::h264);
  h.play("bye A backgrounded");
  h.link(setup);
  EXPECT_EQ(h.session->codec(), protocol::Codec::hevc);
  EXPECT_EQ(h.phones.back(), "A: displayReady 589x1278@2 hevc #1 60fps");
  // A phone that does not decode it keeps H.264.
  h.play("bye A userDisconnected; link B");
  EXPECT_EQ(h.session->codec(), protocol::Codec::h264);
}

TEST_F(SessionTest, AControlFrameThatDoesNotDecodeClosesTheLink) {
  h.play("link A");
  const std::string bad = "{";
  protocol::Frame frame{protocol::Channel::control, {}, runtime::Bytes(bad.begin(), bad.end())};
  h.phone("A").end->send(std::move(frame), [](auto) {});
  h.settle();
  EXPECT_EQ(h.phones, (Trace{"A: bye protocolViolation", "A: end"}));
  const auto errors = lines(LogLevel::error);
  ASSERT_EQ(errors.size(), 1u);
  EXPECT_EQ(errors[0].rfind("Bad control message: ", 0), 0u) << errors[0];
  // The session ends when the transport reports the route's link ended.
  EXPECT_TRUE(h.session->link());
}

TEST_F(SessionTest, SystemKeysPushTheDockOnlyOnAPressWithADisplay) {
  auto deck = std::make_shared<RecordingDeck>();
  h.session->setDeck(deck);
  h.play("link A");
  auto press = [&](std::string profile, std::string key, protocol::DeckActionPhase phase) {
    h.send(h.phone("A"), protocol::DeckAction{profile, key, phase, {}});
  };
  press("system", "showDock", protocol::DeckActionPhase::press);  // no display yet
  h.play("pane A 393 852 3 monitor");
  press("system", "showDock", protocol::DeckActionPhase::release);
  press("system", "other", protocol::DeckActionPhase::press);
  EXPECT_TRUE(h.input->pushes.empty());
  press("system", "showDock", protocol::DeckActionPhase::press);
  EXPECT_EQ(h.input->pushes, (std::vector{DisplayRect{SessionHarness::kBounds, 2}}));
  EXPECT_TRUE(deck->performed.empty());
  press("p", "k1", protocol::DeckActionPhase::press);
  ASSERT_EQ(deck->performed.size(), 1u);
  EXPECT_EQ(deck->performed[0].key, "k1");

  h.input->pushFailure = InputError::eventCreationFailed();
  press("system", "showDock", protocol::DeckActionPhase::press);
  EXPECT_EQ(lines(LogLevel::error),
            std::vector<std::string>{"Show Dock failed: eventCreationFailed"});
  h.input->pushFailure = InputError::noAccessibility();
  press("system", "showDock", protocol::DeckActionPhase::press);
  EXPECT_TRUE(h.session->needsAccessibility.get());
  EXPECT_EQ(h.accessibilityRequests, 1);
}

TEST_F(SessionTest, AgentActionsGoToTheHub) {
  auto agents = std::make_shared<RecordingAgents>();
  h.session->setAgents(agents);
  h.play("link A");
  h.send(h.phone("A"), protocol::AgentAction{"s1", protocol::AgentVerb::approve, "r1", {}});
  ASSERT_EQ(agents->handled.size(), 1u);
  EXPECT_EQ(agents->handled[0].agent, "s1");
}

TEST_F(SessionTest, NeedKeyframeForcesTheNextFrameOfARunningStream) {
  h.play("link A; needKeyframe A");
  h.play("pane A 393 852 3 monitor");
  h.streamer->capture(2);
  h.settle();
  h.play("needKeyframe A");
  h.streamer->capture(1);
  h.settle();
  std::vector<bool> forced;
  for (const auto& r : h.streamer->script->requests()) forced.push_back(r.forceKeyframe);
  EXPECT_EQ(forced, (std::vector<bool>{true, false, true}));
  EXPECT_EQ(h.phone("A").videoFrames, 3);
}

}  // namespace
}  // namespace brindlet::session::testing
