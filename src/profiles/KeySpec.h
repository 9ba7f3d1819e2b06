#pragma once

#include <array>
#include <map>
#include <optional>
#include <string>
#include <string_view>

#include <nlohmann/json_fwd.hpp>

#include "profiles/Accent.h"
#include "profiles/Action.h"
#include "profiles/Reader.h"
#include "runtime/Json.h"

namespace brindlet::profiles {

// The live look of one key: a reader, and what its values turn the ring and the symbol into.
// A key of `ring` or `symbolWhen` is a value the reader yields, or "exists" / "missing". In a
// file it is one flat object: the reader's own keys beside "ring" and "symbolWhen".
struct KeyStateSpec {
  static constexpr std::string_view typeWord = "key state";
  static constexpr auto stateKeys = std::to_array<std::string_view>({"ring", "symbolWhen"});

  Reader reader{};
  std::optional<std::map<std::string, Ring>> ring{};
  std::optional<std::map<std::string, std::string>> symbolWhen{};

  // Its keys are checked first with its own type word, so an unknown key is always reported
  // as one of a "key state". Throws ProfileError or JsonReadError.
  static KeyStateSpec decode(const runtime::JsonValueReader& value);
  void encode(nlohmann::json& to) const;
  friend bool operator==(const KeyStateSpec& a, const KeyStateSpec& b);
};

// One key of the deck: its caption and symbol, and either a meeting intent or the actions
// performed when it goes down and comes up.
struct KeySpec {
  static constexpr std::string_view typeWord = "key";
  static constexpr auto allowedKeys = std::to_array<std::string_view>(
      {"label", "symbol", "tint", "intent", "action", "press", "release", "state"});

  std::string label{};
  std::string symbol{};  // name of the symbol image drawn on the key
  std::optional<Accent> tint{};
  std::optional<MeetingIntent> intent{};
  std::optional<Action> action{};
  std::optional<Action> press{};  // used instead of `action` when present
  std::optional<Action> release{};
  std::optional<KeyStateSpec> state{};

  // `press` when present, else `action`.
  const std::optional<Action>& pressAction() const { return press ? press : action; }

  // Throws ProfileError (unknownKey, unknownIntent and those of its actions and state) or
  // JsonReadError (an unknown tint among them).
  static KeySpec decode(const runtime::JsonValueReader& value);
  void encode(nlohmann::json& to) const;
  friend bool operator==(const KeySpec& a, const KeySpec& b);
};

}  // namespace brindlet::profiles
