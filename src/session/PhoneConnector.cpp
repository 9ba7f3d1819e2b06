#include "session/PhoneConnector.h"

#include <exception>

#include "runtime/Log.h"
#include "transport/TransportError.h"

namespace brindlet::session {
namespace {

namespace asio = boost::asio;
using transport::NearbyPhone;
using transport::TransportError;

const runtime::Logger& sessionLog() {
  return runtime::Logger::of("session");
}

// The failure of an awaited transport call, or none when it succeeded.
asio::awaitable<std::exception_ptr> failureOf(asio::awaitable<void> operation) {
  try {
    co_await std::move(operation);
  } catch (...) {
    co_return std::current_exception();
  }
  co_return nullptr;
}

// The same for a call with a result, kept in `result` when it succeeded.
template <class T>
asio::awaitable<std::exception_ptr> failureOf(asio::awaitable<T> operation,
                                              std::optional<T>* result = nullptr) {
  try {
    auto value = co_await std::move(operation);
    if (result) *result = std::move(value);
  } catch (...) {
    co_return std::current_exception();
  }
  co_return nullptr;
}

}  // namespace

PhoneConnector::PhoneConnector(std::shared_ptr<transport::HostTransporting> transport)
    : transport_(std::move(transport)) {}

PhoneConnector::~PhoneConnector() = default;

asio::awaitable<void> PhoneConnector::connect(NearbyPhone phone) {
  auto dial = transport_->connect(phone);
  const auto failure = co_await failureOf(std::move(dial));
  // A link that came up is the session's now: the transport announced it as connected.
  if (failure) {
    error.set("Couldn't connect to " + phone.name + ". Make sure Brindlet is open on it.");
  }
}

asio::awaitable<void> PhoneConnector::requestPairing(NearbyPhone phone) {
  const auto flow = ++flow_;
  if (attempt_) {
    auto earlier = std::move(*attempt_);
    attempt_.reset();
    auto cancelling = transport_->cancelPairing(std::move(earlier));
    co_await failureOf(std::move(cancelling));
    if (flow != flow_) co_return;  // a newer request or a cancel took over meanwhile
  }
  error.set(std::nullopt);
  pairing.set(Pairing::asking(phone));

  std::optional<transport::PairingAttempt> attempt;
  auto requesting = transport_->requestPairing(phone);
  const auto failure = co_await failureOf(std::move(requesting), &attempt);
  if (flow != flow_) {
    // Nobody waits for this phone's code any more: stop it showing one.
    if (attempt) {
      auto cancelling = transport_->cancelPairing(std::move(*attempt));
      co_await failureOf(std::move(cancelling));
    }
    co_return;
  }
  if (attempt) {
    attempt_ = std::move(attempt);
    pairing.set(Pairing::entering(phone, 3, false));
    co_return;
  }
  const auto reason = TransportError::from(failure);
  sessionLog().error("Pairing request failed: %s", reason.what());
  pairing.set(std::nullopt);
  if (reason.kind() == TransportError::Case::closed) {
    error.set(phone.name +
              " is pairing with another computer, or locked for a moment. Try again shortly.");
  } else {
    error.set("Couldn't reach " + phone.name + ". Make sure Brindlet is open on it.");
  }
}

asio::awaitable<void> PhoneConnector::submit(std::string code) {
  const auto state = pairing.get();
  if (!attempt_ || !state || state->stage != Pairing::Stage::entering) co_return;
  const auto flow = flow_;
  pairing.set(Pairing::checking(state->phone, state->triesLeft));

  auto checking = transport_->completePairing(*attempt_, std::move(code));
  const auto failure = co_await failureOf(std::move(checking));
  if (flow != flow_) co_return;  // cancelled, or a newer request began, while the code was tried
  if (!failure) {
    attempt_.reset();
    pairing.set(std::nullopt);
    co_return;
  }
  const auto reason = TransportError::from(failure);
  if (reason.kind() == TransportError::Case::wrongCode && state->triesLeft >= 2) {
    pairing.set(Pairing::entering(state->phone, state->triesLeft - 1, true));
    co_return;
  }
  sessionLog().info("Pairing ended: %s", reason.what());
  attempt_.reset();
  pairing.set(Pairing::lockedOut(state->phone));
}

asio::awaitable<void> PhoneConnector::cancelPairing() {
  const auto flow = ++flow_;
  if (attempt_) {
    auto attempt = std::move(*attempt_);
    attempt_.reset();
    auto cancelling = transport_->cancelPairing(std::move(attempt));
    co_await failureOf(std::move(cancelling));
  }
  if (flow == flow_) pairing.set(std::nullopt);
}

}  // namespace brindlet::session
