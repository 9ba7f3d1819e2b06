#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <variant>

#include "protocol/AgentMessages.h"
#include "protocol/DeckMessages.h"
#include "protocol/DisplayMessages.h"
#include "protocol/Frame.h"
#include "protocol/LinkMessages.h"

namespace brindlet::protocol {

// A message whose type name this side does not know; only its name is kept.
struct UnknownMessage {
  std::string type;
  friend bool operator==(const UnknownMessage&, const UnknownMessage&) = default;
};

// One control message: one case per wire type name, each with its payload, or unknown.
class ControlMessage {
 public:
  using Variant =
      std::variant<Hello, Pair, PairOK, Pane, DisplayReady, DisplayGone, NeedKeyframe, Touch,
                   Scroll, Key, TypedText, DeckAction, DeckProfile, DeckState, MeetingDeck, Glance,
                   Share, AgentBoard, AgentAction, Stats, Ping, Pong, Bye, UnknownMessage>;

  // The payload types in the order the module lists them to its users.
  static constexpr std::array<std::string_view, 23> payloadTypes = {
      Hello::type,       Pair::type,         PairOK::type,      Pane::type,      DisplayReady::type,
      DisplayGone::type, NeedKeyframe::type, Touch::type,       Scroll::type,    Key::type,
      TypedText::type,   DeckAction::type,   DeckProfile::type, DeckState::type, MeetingDeck::type,
      AgentBoard::type,  AgentAction::type,  Glance::type,      Share::type,     Stats::type,
      Ping::type,        Pong::type,         Bye::type};

  template <class P>
  requires std::is_constructible_v<Variant, P&&> ControlMessage(P&& payload)
      : value_(std::forward<P>(payload)) {}  // NOLINT: implicit on purpose

  static ControlMessage unknown(std::string type) {
    return ControlMessage(UnknownMessage{std::move(type)});
  }

  // The wire type name; for an unknown message the received text.
  std::string_view type() const;
  bool isUnknown() const { return std::holds_alternative<UnknownMessage>(value_); }
  // Runs the payload's rules; unknown messages are not validated.
  void validate() const;

  template <class P>
  const P* as() const {
    return std::get_if<P>(&value_);
  }
  const Variant& value() const { return value_; }

  friend bool operator==(const ControlMessage&, const ControlMessage&) = default;

 private:
  Variant value_;
};

// Message ids on one connection: 1, 2, 3, ... wrapping from 4294967295 back to 1, never 0.
struct MessageCounter {
  std::uint32_t last = 0;

  std::uint32_t next() {
    last = last == UINT32_MAX ? 1 : last + 1;
    return last;
  }
};

// A message with its id. On the wire: one flat JSON object holding "t", "id" and the payload's
// fields side by side, keys sorted.
struct ControlEnvelope {
  std::uint32_t id = 0;
  ControlMessage message;

  ControlEnvelope(std::uint32_t id, ControlMessage message) : id(id), message(std::move(message)) {}
  ControlEnvelope(ControlMessage message, MessageCounter& counter)
      : id(counter.next()), message(std::move(message)) {}

  // Writing never validates; a value JSON cannot hold fails with malformedControl("encode
  // failed: ...").
  std::string encodedJSON() const;
  void appendJSON(std::string& out) const;

  // Reads one envelope and validates its payload. Read failures are malformedControl with the
  // coding path; broken rules are the payload's invalidMessage, unwrapped.
  static ControlEnvelope decode(std::string_view json);

  // The control frame carrying this envelope, and the envelope a control frame carries (a
  // frame of another channel is notControl).
  Frame frame() const;
  static ControlEnvelope of(const Frame& frame);

  friend bool operator==(const ControlEnvelope&, const ControlEnvelope&) = default;
};

}  // namespace brindlet::protocol
