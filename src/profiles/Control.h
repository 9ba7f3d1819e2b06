#pragma once

#include <array>
#include <optional>
#include <string>
#include <string_view>

#include <nlohmann/json_fwd.hpp>

#include "profiles/Action.h"
#include "profiles/Words.h"
#include "runtime/Json.h"

namespace brindlet::profiles {

// A deck element that is not a key: a jog wheel, a slider or a trackpad.
struct Control {
  enum class Kind { jog, slider, trackpad };

  static constexpr std::string_view typeWord = "control";
  static constexpr auto allowedKeys =
      std::to_array<std::string_view>({"kind", "label", "action", "min", "max"});

  Kind kind = Kind::jog;
  std::string label{};
  std::optional<Action> action{};  // what turning the jog or moving the slider does
  std::optional<double> min{};     // a slider's range
  std::optional<double> max{};

  // Strict decoding, as Action::decode; the action inside is decoded the same way. Throws
  // ProfileError (unknownKey, unknownControlKind and the action's) or JsonReadError.
  static Control decode(const runtime::JsonValueReader& value);
  void encode(nlohmann::json& to) const;

  // The rule of the kind: a jog needs an action whose jog steps parse, a slider needs both
  // bounds and then an action; a trackpad needs nothing. Throws ProfileError.
  void validate() const;

  friend bool operator==(const Control& a, const Control& b);
};

template <>
struct Words<Control::Kind> {
  static constexpr auto list = std::to_array<std::string_view>({"jog", "slider", "trackpad"});
};

}  // namespace brindlet::profiles
