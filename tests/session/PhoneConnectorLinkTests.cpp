// The phone connector over the real host transport, pairing with a phone transport of ours on
// loopback that shows its code as an event.

#include <gtest/gtest.h>

#include "session/PhoneConnector.h"
#include "transport/PhoneHarness.h"

namespace brindlet::session {
namespace {

using transport::testing::codeIn;
using transport::testing::HostAndPhone;
using Pairing = PhoneConnector::Pairing;
using Stage = Pairing::Stage;

// The phones the session would be told of as connected.
boost::asio::awaitable<void> collectConnected(
    std::shared_ptr<transport::HostTransportEvents> events, std::vector<std::string>* names) {
  while (auto event = co_await events->next()) {
    if (event->kind == transport::HostTransportEvent::Kind::connected)
      names->push_back(event->link->hello.name);
  }
}

struct ConnectorAndPhone : HostAndPhone {
  PhoneConnector connector{host};
  std::vector<std::string> connected;

  ConnectorAndPhone() {
    runtime::spawn(phone.io.get_executor(), collectConnected(host->events(), &connected));
  }
  void run(boost::asio::awaitable<void> operation) { phone.run(std::move(operation)); }
  std::optional<Stage> stage() const {
    const auto state = connector.pairing.get();
    return state ? std::optional(state->stage) : std::nullopt;
  }
  std::string shownCode() {
    EXPECT_TRUE(phone.hasEvents(1));
    return phone.events.empty() ? std::string() : codeIn(phone.events[0]);
  }
  std::size_t pairingEndedLines() const {
    std::size_t count = 0;
    for (const auto& line : phone.log.messages("session", runtime::LogLevel::info))
      count += line.starts_with("Pairing ended: ");
    return count;
  }
};

TEST(PhoneConnectorLink, TheRightCodeConnectsTheSession) {
  ConnectorAndPhone c;
  c.run(c.connector.requestPairing(c.nearby()));
  EXPECT_EQ(c.connector.pairing.get(), Pairing::entering(c.nearby(), 3, false));
  c.run(c.connector.submit(c.shownCode()));
  EXPECT_EQ(c.connector.pairing.get(), std::nullopt);
  EXPECT_TRUE(c.phone.waitUntil([&] { return !c.connected.empty(); }));
  EXPECT_EQ(c.connected, std::vector<std::string>{"Phone"});
}

TEST(PhoneConnectorLink, ThreeWrongCodesLockThePhoneOut) {
  ConnectorAndPhone c;
  c.run(c.connector.requestPairing(c.nearby()));
  const auto code = c.shownCode();
  const std::string wrong = code == "000000" ? "000001" : "000000";
  for (int i = 0; i < 3; ++i) c.run(c.connector.submit(wrong));
  EXPECT_EQ(c.connector.pairing.get(), Pairing::lockedOut(c.nearby()));
  EXPECT_EQ(c.pairingEndedLines(), 1u);
  c.run(c.connector.submit(code));  // nothing more is tried once locked out
  EXPECT_EQ(c.stage(), Stage::lockedOut);
}

// A cancel that overtakes the request or the check ends the flow; the phone is told the pairing
// ended, so it stops showing its code.
TEST(PhoneConnectorLink, ACancelWhileAskingOrCheckingEndsTheFlow) {
  for (const bool whileChecking : {false, true}) {
    ConnectorAndPhone c;
    std::vector<runtime::TaskHandle> tasks;
    const auto executor = c.phone.io.get_executor();
    if (whileChecking) {
      c.run(c.connector.requestPairing(c.nearby()));
      const auto code = c.shownCode();
      tasks.push_back(runtime::spawn(executor, c.connector.submit(code)));
      EXPECT_TRUE(c.phone.waitUntil([&] { return c.stage() == Stage::checking; }));
    } else {
      tasks.push_back(runtime::spawn(executor, c.connector.requestPairing(c.nearby())));
      EXPECT_TRUE(c.phone.waitUntil([&] { return c.stage() == Stage::asking; }));
    }
    c.run(c.connector.cancelPairing());
    c.phone.drainFor(std::chrono::milliseconds(300));
    EXPECT_EQ(c.connector.pairing.get(), std::nullopt) << whileChecking;
    EXPECT_TRUE(c.phone.waitUntil([&] {
      return std::ranges::count(c.phone.events, "pairingEnded(lockedOut: false)") == 1;
    })) << whileChecking;
  }
}

}  // namespace
}  // namespace brindlet::session
