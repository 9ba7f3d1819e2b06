#pragma once

#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "protocol/ControlPayload.h"
#include "protocol/Enums.h"
#include "protocol/JSONValue.h"

namespace brindlet::protocol {

// The deck: the profile for the front app, live key looks, the meeting deck, and the phone's
// key presses and control values.

struct DeckAction {
  static constexpr std::string_view type = "deckAction";

  std::string profile;
  std::string key;
  DeckActionPhase phase = DeckActionPhase::press;
  std::optional<double> value;

  void validate() const;
  void encode(nlohmann::json& out) const;
  static DeckAction decode(const runtime::JsonObjectReader& in);
  friend bool operator==(const DeckAction& a, const DeckAction& b) {
    return equality::fields(a, b, &DeckAction::profile, &DeckAction::key) && a.phase == b.phase &&
           a.value == b.value;
  }
};

struct DeckProfile {
  static constexpr std::string_view type = "deckProfile";

  JSONValue profile;  // the whole profile document, nested (null is a value here)
  std::string app;
  std::string appName;

  void validate() const {}
  void encode(nlohmann::json& out) const;
  static DeckProfile decode(const runtime::JsonObjectReader& in);
  friend bool operator==(const DeckProfile& a, const DeckProfile& b) {
    return a.profile == b.profile &&
           equality::fields(a, b, &DeckProfile::app, &DeckProfile::appName);
  }
};

// The live look of one key; every field is optional, so {} is a look that sets nothing.
struct KeyState {
  std::optional<RingState> ring;
  std::optional<std::string> label;
  std::optional<std::string> symbol;
  std::optional<double> value;
  std::optional<std::vector<std::string>> lines;

  nlohmann::json toJson() const;
  static KeyState decode(const runtime::JsonValueReader& in);
  friend bool operator==(const KeyState& a, const KeyState& b) {
    return a.ring == b.ring && equality::fields(a, b, &KeyState::label, &KeyState::symbol) &&
           a.value == b.value && equality::same(a.lines, b.lines);
  }
};

struct DeckState {
  static constexpr std::string_view type = "deckState";

  std::string profile;
  std::map<std::string, KeyState> states;  // by key id; order carries no meaning

  void validate() const {}
  void encode(nlohmann::json& out) const;
  static DeckState decode(const runtime::JsonObjectReader& in);
  friend bool operator==(const DeckState& a, const DeckState& b) {
    return equality::fields(a, b, &DeckState::profile, &DeckState::states);
  }
};

// The meeting deck while a meeting is live; with every field absent it ends the meeting deck.
struct MeetingDeck {
  static constexpr std::string_view type = "meetingDeck";

  std::optional<JSONValue> profile;
  std::optional<std::string> app;
  std::optional<std::string> appName;
  std::optional<double> elapsed;

  void validate() const {}
  void encode(nlohmann::json& out) const;
  static MeetingDeck decode(const runtime::JsonObjectReader& in);
  friend bool operator==(const MeetingDeck& a, const MeetingDeck& b) {
    return a.profile == b.profile &&
           equality::fields(a, b, &MeetingDeck::app, &MeetingDeck::appName) &&
           a.elapsed == b.elapsed;
  }
};

struct Glance {
  static constexpr std::string_view type = "glance";
  static constexpr std::size_t maxLines = 3;
  static constexpr std::size_t maxKeys = 4;

  std::string appName;
  std::string symbol;
  std::vector<std::string> lines;
  std::vector<std::string> keys;

  void validate() const;
  void encode(nlohmann::json& out) const;
  static Glance decode(const runtime::JsonObjectReader& in);
  friend bool operator==(const Glance& a, const Glance& b) {
    return equality::fields(a, b, &Glance::appName, &Glance::symbol, &Glance::lines, &Glance::keys);
  }
};

struct Share {
  static constexpr std::string_view type = "share";

  bool on = false;
  std::optional<std::string> title;

  void validate() const {}
  void encode(nlohmann::json& out) const;
  static Share decode(const runtime::JsonObjectReader& in);
  friend bool operator==(const Share& a, const Share& b) {
    return a.on == b.on && equality::same(a.title, b.title);
  }
};

}  // namespace brindlet::protocol
