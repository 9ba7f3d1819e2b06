#include <type_traits>

#include "session/HostSession.h"
#include "session/InputError.h"
#include "streaming/VideoPipeline.h"
#include "transport/FrameConnection.h"
#include "transport/SymmetricKey.h"

namespace brindlet::session {

namespace asio = boost::asio;
using protocol::ControlMessage;

namespace {

// Input that may open a window the follower should bring onto the phone's display.
bool mayOpenWindow(const ControlMessage& message) {
  if (message.as<protocol::TypedText>()) return true;
  if (const auto* key = message.as<protocol::Key>()) return key->down;
  if (const auto* touch = message.as<protocol::Touch>())
    return touch->phase == protocol::TouchPhase::ended;
  return false;
}

// The dispatcher's tasks hold the session for as long as they run.
asio::awaitable<void> performDeckAction(std::shared_ptr<HostSession>,
                                        std::shared_ptr<DeckEngineLink> deck,
                                        protocol::DeckAction action) {
  if (deck) co_await deck->perform(std::move(action));
}

asio::awaitable<void> handleAgentAction(std::shared_ptr<HostSession>,
                                        std::shared_ptr<AgentHubLink> agents,
                                        protocol::AgentAction action) {
  if (agents) co_await agents->handle(std::move(action));
}

}  // namespace

asio::awaitable<void> HostSession::handle(ControlMessage message,
                                          std::shared_ptr<transport::FrameConnection> connection) {
  // Only the current link is served.
  if (!link_ || link_->connection != connection) co_return;
  const auto& value = message.value();
  if (message.as<protocol::Touch>() || message.as<protocol::Scroll>() ||
      message.as<protocol::Key>() || message.as<protocol::TypedText>()) {
    forwardInput(message);
  } else if (const auto* pane = std::get_if<protocol::Pane>(&value)) {
    auto copy = *pane;
    co_await takePane(std::move(copy));
  } else if (const auto* action = std::get_if<protocol::DeckAction>(&value)) {
    deckAction(*action);
  } else if (const auto* action = std::get_if<protocol::AgentAction>(&value)) {
    runtime::spawn(loop_, handleAgentAction(shared_from_this(), agents_, *action));
  } else if (const auto* stats = std::get_if<protocol::Stats>(&value)) {
    clientStats.set(*stats);
  } else if (const auto* ping = std::get_if<protocol::Ping>(&value)) {
    ControlMessage pong(protocol::Pong{ping->ts});
    try {
      co_await connection->send(std::move(pong));
    } catch (...) {
      // A dead link ends the read loop at its next receive.
    }
  } else if (const auto* bye = std::get_if<protocol::Bye>(&value)) {
    log_.info("Client said bye: %s", bye->reason.c_str());
    co_await endSession(bye->reason == protocol::ByeReason::backgrounded);
  } else if (const auto* pairOK = std::get_if<protocol::PairOK>(&value)) {
    storePairingKey(*pairOK);
  } else if (message.as<protocol::NeedKeyframe>()) {
    if (auto pipeline = roles_.streamer->pipeline()) pipeline->requestKeyframe();
  } else {
    const std::string type(message.type());
    log_.debug("Ignoring %s", type.c_str());
  }
}

void HostSession::forwardInput(const ControlMessage& message) {
  const std::string type(message.type());
  inputLog_.debug("%s from the client", type.c_str());
  std::optional<DisplayRect> r;
  if (auto id = displayID.get()) r = displayBounds(*id);
  if (!r) {
    // Input is never injected without the phone's display.
    inputLog_.info("Dropped %s: no display", type.c_str());
    return;
  }
  switch (roles_.input->handle(message, *r)) {
    case InputOutcome::posted:
      needsAccessibility.set(false);
      if (mayOpenWindow(message)) roles_.windowFollower->arm(r->bounds);
      break;
    case InputOutcome::noAccess:
      needsAccessibility.set(true);
      requestAccessibility();
      break;
    case InputOutcome::stillNoAccess:
      // Dropped unposted: the permission is still missing, so the flag stays.
      break;
  }
}

void HostSession::deckAction(const protocol::DeckAction& action) {
  if (action.profile != protocol::SystemAction::system) {
    runtime::spawn(loop_, performDeckAction(shared_from_this(), deck_, action));
    return;
  }
  // The computer's own keys never reach the deck engine.
  if (action.key != protocol::SystemAction::showDock ||
      action.phase != protocol::DeckActionPhase::press)
    return;
  const auto id = displayID.get();
  if (!id) return;
  if (auto r = displayBounds(*id)) runtime::spawn(loop_, showDock(shared_from_this(), *r));
}

asio::awaitable<void> HostSession::showDock(std::shared_ptr<HostSession> self, DisplayRect r) {
  try {
    co_await self->roles_.input->pushDock(r);
  } catch (const InputError& e) {
    if (e == InputError::noAccessibility()) {
      self->needsAccessibility.set(true);
      self->requestAccessibility();
    } else {
      self->log_.error("Show Dock failed: %s", e.text().c_str());
    }
  }
}

void HostSession::storePairingKey(const protocol::PairOK& pairOK) {
  const auto current = client.get();
  if (!current || !current->hello.uid || !link_) return;
  const auto& uid = *current->hello.uid;
  // The hello's uid is the phone's own claim: a key is taken for it only over USB, or over a
  // link whose TLS proved that phone's key, so one phone cannot replace another's key.
  const bool proven = link_->route.kind == transport::Route::Kind::usb || link_->dialedUid == uid;
  if (!proven) {
    log_.error("Not storing the pairing key from %s: its link was not made with that phone's key",
               current->hello.name.c_str());
    return;
  }
  // The keyring may keep the save waiting for as long as the user takes to unlock it: the
  // session goes on meanwhile, and the save ends even when the session does not last.
  runtime::spawn(loop_, savePairingKey(roles_.pairing, transport::SymmetricKey(pairOK.psk), uid));
}

asio::awaitable<void> HostSession::savePairingKey(std::shared_ptr<transport::PairingStore> store,
                                                  transport::SymmetricKey key, std::string uid) {
  co_await store->save(std::move(key), std::move(uid));
}

}  // namespace brindlet::session
