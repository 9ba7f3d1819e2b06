// Pairing from the computer's side against a scripted phone: refusals, the right code, wrong
// codes and the lock-out, cancelling.

#include <gtest/gtest.h>

#include "HostHarness.h"

namespace brindlet::transport::testing {
namespace {

// Lists the phone and starts a pairing request to it.
struct PairingScene {
  HostHarness h;
  ScriptedPhone alpha{h.io, "Alpha", "U-A"};
  NearbyPhone phone;
  PairingAttempt attempt;

  PairingScene() {
    h.run(h.host->start());
    h.discovery->show({alpha.service()});
    EXPECT_TRUE(h.waitForEvents(1));
    phone = h.events->at(0).phones.at(0);
    attempt = h.run(h.host->requestPairing(phone));
    alpha.showCode("123456", kMacUid);
  }
  std::optional<TransportError> complete(std::string code) {
    return failureOf(h, h.host->completePairing(attempt, std::move(code)));
  }
};

TEST(HostPairing, RefusesPhonesItCannotReachWithoutDialling) {
  HostHarness h, anonymous(true, std::nullopt);
  ScriptedPhone alpha(h.io, "Alpha", "U-A");
  const NearbyPhone listed = nearbyPhone(alpha.service(), [](auto&) { return true; });
  auto without = [&](auto change) {
    NearbyPhone p = listed;
    change(p);
    return p;
  };
  const NearbyPhone noPort = without([](NearbyPhone& p) { p.pairPort.reset(); });
  const NearbyPhone noService = without([](NearbyPhone& p) { p.secure.reset(); });
  const NearbyPhone noUid = without([](NearbyPhone& p) { p.uid.reset(); });
  h.run(h.store->save(keyFilled(1), "U-A"));
  anonymous.run(anonymous.store->save(keyFilled(1), "U-A"));

  struct Case {
    HostHarness* harness;
    std::function<asio::awaitable<void>(HostTransport&)> operation;
    std::string expected;
  };
  auto request = [](NearbyPhone p) {
    return [p](HostTransport& t) -> asio::awaitable<void> { co_await t.requestPairing(p); };
  };
  auto complete = [](NearbyPhone p) {
    return [p](HostTransport& t) -> asio::awaitable<void> {
      PairingAttempt attempt{p, nullptr, nullptr};
      std::string code = "123456";
      co_await t.completePairing(std::move(attempt), std::move(code));
    };
  };
  auto connect = [](NearbyPhone p) {
    return [p](HostTransport& t) -> asio::awaitable<void> { co_await t.connect(p); };
  };
  const Case cases[] = {
      {&h, request(noPort), "Alpha can't pair over Wi-Fi"},
      {&h, request(noService), "Alpha can't pair over Wi-Fi"},
      {&anonymous, request(listed), "Alpha can't pair over Wi-Fi"},
      {&h, complete(noUid), "Alpha isn't reachable"},
      {&h, complete(noService), "Alpha isn't reachable"},
      {&anonymous, complete(listed), "Alpha isn't reachable"},
      {&h, connect(noUid), "Alpha isn't paired with this computer"},
      {&h, connect(noService), "Alpha isn't paired with this computer"},
      {&anonymous, connect(listed), "Alpha isn't paired with this computer"},
  };
  for (const auto& c : cases) {
    auto error = failureOf(*c.harness, c.operation(*c.harness->host));
    EXPECT_EQ(error, TransportError::connectionFailed(c.expected)) << c.expected;
  }
  h.settle();
  EXPECT_TRUE(alpha.requests().empty());
  EXPECT_TRUE(alpha.hosts().empty());
}

TEST(HostPairing, TheRightCodeAfterAWrongOneLinksThePhoneAndEndsTheRequest) {
  PairingScene s;
  ASSERT_EQ(s.alpha.requests().size(), 1u);
  EXPECT_EQ(s.h.infos(), std::vector<std::string>{"Asked Alpha to pair"});

  EXPECT_EQ(s.complete("000000"), TransportError::wrongCode());
  EXPECT_EQ(s.alpha.wrongCodes(), 1);
  ClientLink link = s.h.run(s.h.host->completePairing(s.attempt, "123456"));
  // The connected event is out before completePairing returns.
  ASSERT_EQ(s.h.events->size(), 2u);
  EXPECT_EQ(s.h.last().link->route, Route::wifi("Alpha"));
  EXPECT_EQ(link.route, Route::wifi("Alpha"));
  EXPECT_EQ(link.hello.uid, "U-A");
  // The link was made with the key derived for U-A: the session may take its pairing key.
  EXPECT_EQ(link.dialedUid, "U-A");
  ASSERT_EQ(s.alpha.hosts().size(), 1u);
  EXPECT_EQ(s.alpha.hosts()[0]->identity, "pair:MAC-UID-1");

  ASSERT_TRUE(s.h.runUntil([&] { return s.alpha.requests()[0]->ended; }));
  EXPECT_EQ(s.alpha.requests()[0]->byes, std::vector<std::string>{"pairingEnded"});
  s.h.run(s.h.host->cancelPairing(s.attempt));
  s.h.settle();
  EXPECT_EQ(s.alpha.requests()[0]->byes.size(), 1u);
}

TEST(HostPairing, ARequestThePhoneEndedOtherwiseStillMeansAWrongCode) {
  const std::optional<std::string> reasons[] = {std::nullopt, std::string("pairingEnded"),
                                                std::string("busy")};
  for (const auto& reason : reasons) {
    PairingScene s;
    s.h.run(s.alpha.requests()[0]->link->close(reason));
    ASSERT_TRUE(s.h.runUntil([&] { return s.attempt.request->isClosed(); }));
    EXPECT_EQ(s.complete("000000"), TransportError::wrongCode()) << reason.value_or("none");
  }
}

TEST(HostPairing, CancellingTwiceSendsOneBye) {
  PairingScene s;
  s.h.run(s.h.host->cancelPairing(s.attempt));
  s.h.run(s.h.host->cancelPairing(s.attempt));
  ASSERT_TRUE(s.h.runUntil([&] { return s.alpha.requests()[0]->ended; }));
  EXPECT_EQ(s.alpha.requests()[0]->byes, std::vector<std::string>{"pairingEnded"});
  EXPECT_EQ(s.h.events->size(), 1u);
}

TEST(HostPairing, CompletingPairingMakesAPhoneThatFailedEligibleAgain) {
  HostHarness h;
  ScriptedPhone alpha(h.io, "Alpha", "U-A");
  // A stale key: three automatic dials fail and the phone is skipped.
  h.run(h.store->save(keyFilled(1), "U-A"));
  alpha.trust(kMacUid, keyFilled(9));
  h.run(h.host->start());
  h.discovery->show({alpha.service()});
  for (int failed = 1; failed <= 3; ++failed) {
    // The failure is logged before the pause starts; the dial's own timer is gone by then.
    ASSERT_TRUE(h.runUntil(
        [&] { return h.infos().size() == std::size_t(failed) && h.clock->sleeperCount() == 1; }));
    h.clock->advance(HostTransport::autoDialPause);
  }
  h.settle();
  EXPECT_EQ(alpha.tlsFailures(), 3);

  NearbyPhone phone = h.events->at(0).phones.at(0);
  auto attempt = h.run(h.host->requestPairing(phone));
  alpha.showCode("123456", kMacUid);
  h.run(h.host->completePairing(attempt, "123456"));
  // The host session stores the key the phone sends; then the link drops.
  h.run(h.store->save(keyFilled(5), "U-A"));
  alpha.trust(kMacUid, keyFilled(5));
  h.run(alpha.dropHost(0, std::nullopt));
  ASSERT_TRUE(h.runUntil([&] { return alpha.hosts().size() == 2; }));
  EXPECT_EQ(alpha.hosts()[1]->identity, kMacUid);
}

}  // namespace
}  // namespace brindlet::transport::testing
