#include "desktop/SyntheticEvent.h"
#include "profiles/ProfileError.h"
#include "profiles/Shortcut.h"
#include "session/HostSession.h"
#include "session/InputMapping.h"
#include "transport/FrameConnection.h"

namespace brindlet::session {

namespace asio = boost::asio;

namespace {

std::uint64_t flagOf(profiles::Shortcut::Modifier modifier) {
  switch (modifier) {
    case profiles::Shortcut::Modifier::cmd:
      return kCommandFlag;
    case profiles::Shortcut::Modifier::opt:
      return kAlternateFlag;
    case profiles::Shortcut::Modifier::ctrl:
      return kControlFlag;
    case profiles::Shortcut::Modifier::shift:
      return kShiftFlag;
  }
  return 0;
}

}  // namespace

void HostSession::setDeck(std::shared_ptr<DeckEngineLink> deck) {
  deck_ = std::move(deck);
  wireDeck();
}

void HostSession::setAgents(std::shared_ptr<AgentHubLink> agents) {
  agents_ = std::move(agents);
  wireDeck();
}

void HostSession::wireDeck() {
  wireAgents();
  if (deckTask_) {
    // What a wiring for an earlier link still had to send would reach this one out of order.
    deckTask_.cancel();
    deckTask_ = {};
  }
  if (!deck_) return;
  if (!link_) {
    deck_->setSend(nullptr);
    return;
  }
  // The sender holds the link's connection, not the session.
  deck_->setSend([connection = link_->connection](const protocol::ControlMessage& message) {
    connection->sendControl(message);
  });
  deck_->resetSentLooks();
  deck_->sendProfile();
  deckTask_ = runtime::spawn(loop_, sendFreshDeck(deck_));
}

asio::awaitable<void> HostSession::sendFreshDeck(std::shared_ptr<DeckEngineLink> deck) {
  co_await deck->updateMeeting();
  co_await deck->refresh();
}

void HostSession::wireAgents() {
  if (!agents_) return;
  std::weak_ptr<HostSession> weak = weak_from_this();
  agents_->setIsPhoneConnected([weak] {
    auto self = weak.lock();
    return self && self->link_.has_value();
  });
  agents_->setTypeText([weak](const std::string& text) {
    auto self = weak.lock();
    if (!self) return;
    // Text needs no display rectangle; a refusal drops it (the injector logs it once).
    protocol::ControlMessage message(protocol::TypedText{text});
    self->roles_.input->handle(message, DisplayRect{});
  });
  agents_->setPressKey([poster = roles_.poster](std::string keys) -> asio::awaitable<void> {
    HostSession::pressKeyOn(*poster, keys);
    co_return;
  });
  if (!link_) {
    agents_->setOnChange([](const protocol::AgentBoard&) {});
    return;
  }
  auto connection = link_->connection;
  agents_->setOnChange([connection](const protocol::AgentBoard& board) {
    connection->sendControl(protocol::ControlMessage(board));
  });
  connection->sendControl(protocol::ControlMessage(agents_->board()));
}

void HostSession::pressKey(const std::string& keys) {
  pressKeyOn(*roles_.poster, keys);
}

void HostSession::pressKeyOn(desktop::EventPosting& poster, const std::string& keys) {
  profiles::Shortcut shortcut;
  try {
    shortcut = profiles::Shortcut::parse(keys);
  } catch (const profiles::ProfileError&) {
    return;
  }
  std::uint64_t flags = 0;
  for (auto modifier : shortcut.modifiers) flags |= flagOf(modifier);
  // No permission check here: a poster without it drops the events.
  InputMapping mapping;
  for (bool down : {true, false}) {
    const InputEvent key = KeyInput{shortcut.keyCode, down, flags, {}};
    auto events = mapping.map(key);
    if (!events.empty()) poster.post(std::move(events));
  }
}

}  // namespace brindlet::session
