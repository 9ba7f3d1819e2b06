#include "session/PhoneConnector.h"

#include <gtest/gtest.h>

#include <deque>

#include "runtime/Log.h"
#include "runtime/MainLoop.h"
#include "runtime/OneShot.h"
#include "runtime/Task.h"
#include "support/Loop.h"
#include "transport/TransportError.h"

namespace brindlet::session {
namespace {

namespace asio = boost::asio;
using transport::ClientLink;
using transport::NearbyPhone;
using transport::PairingAttempt;
using transport::TransportError;
using Pairing = PhoneConnector::Pairing;

// A transport whose every call waits until the test answers it, so that answers can arrive in
// any order relative to the connector's other calls.
class ScriptedTransport : public transport::HostTransporting {
 public:
  struct Call {
    std::string what;  // "connect A", "request A", "complete A 123456", "cancel A"
    std::shared_ptr<runtime::OneShot<std::exception_ptr>> answer;
  };

  std::shared_ptr<transport::HostTransportEvents> events() const override { return nullptr; }
  asio::awaitable<void> start() override { co_return; }
  asio::awaitable<void> stop() override { co_return; }
  asio::awaitable<ClientLink> connect(NearbyPhone phone) override {
    co_await called("connect " + phone.name);
    co_return ClientLink{};
  }
  asio::awaitable<PairingAttempt> requestPairing(NearbyPhone phone) override {
    co_await called("request " + phone.name);
    co_return PairingAttempt{phone, nullptr, nullptr};
  }
  asio::awaitable<ClientLink> completePairing(PairingAttempt attempt, std::string code) override {
    co_await called("complete " + attempt.phone.name + " " + code);
    co_return ClientLink{};
  }
  asio::awaitable<void> cancelPairing(PairingAttempt attempt) override {
    calls.push_back({"cancel " + attempt.phone.name, nullptr});  // answers at once
    co_return;
  }
  asio::awaitable<void> forget(std::string) override { co_return; }

  // Answers the oldest call still waiting; no error means success.
  void answer(std::exception_ptr error = nullptr) {
    waiting.front()->resume(error);
    waiting.pop_front();
  }
  std::vector<std::string> take() {
    std::vector<std::string> out;
    for (auto& call : std::exchange(calls, {})) out.push_back(call.what);
    return out;
  }

  std::vector<Call> calls;
  std::deque<std::shared_ptr<runtime::OneShot<std::exception_ptr>>> waiting;

 private:
  asio::awaitable<void> called(std::string what) {
    auto answer = runtime::OneShot<std::exception_ptr>::make();
    calls.push_back({std::move(what), answer});
    waiting.push_back(answer);
    if (auto error = co_await answer->wait()) std::rethrow_exception(error);
  }
};

std::exception_ptr failure(TransportError error) {
  return std::make_exception_ptr(std::move(error));
}

NearbyPhone phone(std::string name) {
  NearbyPhone p;
  p.name = std::move(name);
  p.uid = p.name + "-uid";
  return p;
}

class PhoneConnectorTest : public ::testing::Test {
 protected:
  // A call left unanswered would hold its waiting coroutine, and what it holds, for ever.
  void TearDown() override {
    while (!transport->waiting.empty()) answer(failure(TransportError::closed()));
  }
  void run(asio::awaitable<void> operation) {
    tasks.push_back(runtime::spawn(loop.context().get_executor(), std::move(operation)));
    testing::drain(loop.context());
  }
  void answer(std::exception_ptr error = nullptr) {
    transport->answer(error);
    testing::drain(loop.context());
  }
  // Every pairing state the connector showed since the last call.
  std::vector<std::optional<Pairing>> shown() { return std::exchange(states, {}); }

  runtime::LogCapture logs;
  runtime::MainLoop loop;
  std::shared_ptr<ScriptedTransport> transport = std::make_shared<ScriptedTransport>();
  PhoneConnector connector{transport};
  std::vector<std::optional<Pairing>> states;
  runtime::Subscription watching =
      connector.pairing.subscribe([this](const auto& state) { states.push_back(state); });
  std::vector<runtime::TaskHandle> tasks;
  NearbyPhone a = phone("A"), b = phone("B");
};

TEST_F(PhoneConnectorTest, ThreeWrongCodesUseUpTheTriesAndEndOnce) {
  run(connector.requestPairing(a));
  answer();
  for (int i = 0; i < 3; ++i) {
    run(connector.submit("000000"));
    answer(failure(TransportError::wrongCode()));
  }
  const std::vector<std::optional<Pairing>> expected = {
      Pairing::asking(a),      Pairing::entering(a, 3, false),
      Pairing::checking(a, 3), Pairing::entering(a, 2, true),
      Pairing::checking(a, 2), Pairing::entering(a, 1, true),
      Pairing::checking(a, 1), Pairing::lockedOut(a)};
  EXPECT_EQ(shown(), expected);
  EXPECT_EQ(logs.messages("session", runtime::LogLevel::info),
            std::vector<std::string>{"Pairing ended: wrongCode"});
  EXPECT_EQ(transport->take(),
            (std::vector<std::string>{"request A", "complete A 000000", "complete A 000000",
                                      "complete A 000000"}));
}

TEST_F(PhoneConnectorTest, TheCodeCheckOutcomeDecidesTheNextStage) {
  const struct {
    std::exception_ptr error;
    std::optional<Pairing> after;
    std::vector<std::string> logged;
  } cases[] = {
      {nullptr, std::nullopt, {}},
      {failure(TransportError::pairingLockedOut()),
       Pairing::lockedOut(a),
       {"Pairing ended: pairingLockedOut"}},
      {failure(TransportError::closed()), Pairing::lockedOut(a), {"Pairing ended: closed"}},
      {failure(TransportError::helloTimeout()),
       Pairing::lockedOut(a),
       {"Pairing ended: helloTimeout"}},
  };
  for (const auto& c : cases) {
    runtime::LogCapture caseLogs;
    run(connector.requestPairing(a));
    answer();
    run(connector.submit("123456"));
    answer(c.error);
    EXPECT_EQ(connector.pairing.get(), c.after);
    EXPECT_EQ(caseLogs.messages("session", runtime::LogLevel::info), c.logged);
    // A new request starts over from three tries, cancelling whatever attempt is left.
    run(connector.cancelPairing());
    transport->take();
  }
}

TEST_F(PhoneConnectorTest, ARefusedRequestSaysWhyInTheUsersWords) {
  const struct {
    std::exception_ptr error;
    std::string text;
    std::string logged;
  } cases[] = {
      {failure(TransportError::closed()),
       "A is pairing with another computer, or locked for a moment. Try again shortly.",
       "Pairing request failed: closed"},
      {failure(TransportError::helloTimeout()),
       "Couldn't reach A. Make sure Brindlet is open on it.",
       "Pairing request failed: helloTimeout"},
      {failure(TransportError::connectionFailed("refused")),
       "Couldn't reach A. Make sure Brindlet is open on it.",
       "Pairing request failed: connectionFailed(\"refused\")"},
  };
  for (const auto& c : cases) {
    runtime::LogCapture caseLogs;
    run(connector.requestPairing(a));
    answer(c.error);
    EXPECT_EQ(connector.pairing.get(), std::nullopt);
    EXPECT_EQ(connector.error.get(), c.text);
    EXPECT_EQ(caseLogs.messages("session", runtime::LogLevel::error),
              std::vector<std::string>{c.logged});
  }
  run(connector.connect(b));
  answer(failure(TransportError::closed()));
  EXPECT_EQ(connector.error.get(), "Couldn't connect to B. Make sure Brindlet is open on it.");
  run(connector.connect(a));
  answer();
  EXPECT_EQ(connector.error.get(), "Couldn't connect to B. Make sure Brindlet is open on it.");
  run(connector.requestPairing(a));
  EXPECT_EQ(connector.error.get(), std::nullopt);
}

TEST_F(PhoneConnectorTest, ACodeIsTriedOnlyWhileTheUserIsEnteringIt) {
  run(connector.submit("123456"));  // no attempt
  run(connector.requestPairing(a));
  run(connector.submit("123456"));  // asking
  answer();
  run(connector.submit("123456"));
  run(connector.submit("654321"));  // checking
  EXPECT_EQ(transport->take(), (std::vector<std::string>{"request A", "complete A 123456"}));
}

TEST_F(PhoneConnectorTest, ANewRequestCancelsTheOpenAttemptAndStartsWithThreeTries) {
  run(connector.requestPairing(a));
  answer();
  run(connector.submit("000000"));
  answer(failure(TransportError::wrongCode()));
  run(connector.requestPairing(b));
  answer();
  EXPECT_EQ(transport->take(),
            (std::vector<std::string>{"request A", "complete A 000000", "cancel A", "request B"}));
  EXPECT_EQ(connector.pairing.get(), Pairing::entering(b, 3, false));
}

// Answers that come back after the user moved on must not overwrite what they moved on to, and
// a phone left showing a code nobody will type is told to stop.
TEST_F(PhoneConnectorTest, LateAnswersLeaveTheNewerStateAlone) {
  // Cancelled while asking; the phone then accepts the request.
  run(connector.requestPairing(a));
  run(connector.cancelPairing());
  answer();
  EXPECT_EQ(connector.pairing.get(), std::nullopt);
  EXPECT_EQ(transport->take(), (std::vector<std::string>{"request A", "cancel A"}));

  // Overtaken by a request to another phone; the first one then accepts, then refuses.
  run(connector.requestPairing(a));
  run(connector.requestPairing(b));
  answer();
  EXPECT_EQ(connector.pairing.get(), Pairing::asking(b));
  answer();
  EXPECT_EQ(connector.pairing.get(), Pairing::entering(b, 3, false));
  EXPECT_EQ(transport->take(), (std::vector<std::string>{"request A", "request B", "cancel A"}));

  // Cancelled while checking; the wrong-code answer then arrives.
  run(connector.submit("000000"));
  run(connector.cancelPairing());
  answer(failure(TransportError::wrongCode()));
  EXPECT_EQ(connector.pairing.get(), std::nullopt);
  EXPECT_TRUE(logs.messages("session", runtime::LogLevel::info).empty());
}

}  // namespace
}  // namespace brindlet::session
