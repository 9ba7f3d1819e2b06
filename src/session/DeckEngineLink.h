#pragma once

#include <functional>

#include <boost/asio/awaitable.hpp>

#include "protocol/ControlEnvelope.h"

namespace brindlet::session {

// The host session's view of the deck engine: where the engine sends to the phone, and what a
// fresh link is sent.
class DeckEngineLink {
 public:
  using Send = std::function<void(const protocol::ControlMessage&)>;

  virtual ~DeckEngineLink() = default;

  // Every message of the engine goes through `send`; with none the engine sends nothing.
  virtual void setSend(Send send) = 0;
  // Forgets the looks, the meeting looks and the meeting deck the phone was sent, so that the
  // next sends treat the phone as having nothing.
  virtual void resetSentLooks() = 0;
  // `deckProfile` for the current profile, if any.
  virtual void sendProfile() = 0;
  // `meetingDeck` when a meeting is live (or has just ended), then its looks.
  virtual boost::asio::awaitable<void> updateMeeting() = 0;
  // `deckState` with the looks that differ from those sent.
  virtual boost::asio::awaitable<void> refresh() = 0;
  // One deck action of the phone; reports its own failures.
  virtual boost::asio::awaitable<void> perform(protocol::DeckAction action) = 0;
};

}  // namespace brindlet::session
