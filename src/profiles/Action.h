#pragma once

#include <array>
#include <optional>
#include <string>
#include <string_view>

#include <nlohmann/json_fwd.hpp>

#include "profiles/Words.h"
#include "runtime/Json.h"

namespace brindlet::profiles {

// What a key press, a key release or a control does on the computer. Which fields matter
// depends on the kind; the others are carried along unchanged.
struct Action {
  enum class Kind { shortcut, applescript, shortcutsApp, url, shell, system };
  enum class SystemOp {
    volumeUp,
    volumeDown,
    mute,
    playPause,
    next,
    previous,
    doNotDisturb,
    screenshot,
    lock,
  };

  static constexpr double defaultTimeout = 5.0;  // seconds, when timeoutSeconds is absent
  static constexpr std::string_view typeWord = "action";
  static constexpr auto allowedKeys =
      std::to_array<std::string_view>({"kind", "keys", "positive", "negative", "source", "name",
                                       "url", "command", "timeoutSeconds", "op"});

  Kind kind = Kind::shortcut;
  std::optional<std::string> keys{};      // key combination of a shortcut action
  std::optional<std::string> positive{};  // a jog control's forward step
  std::optional<std::string> negative{};  // a jog control's backward step
  std::optional<std::string> source{};    // script text of an applescript action
  std::optional<std::string> name{};      // the shortcut a shortcutsApp action runs
  std::optional<std::string> url{};
  std::optional<std::string> command{};  // command line of a shell action
  std::optional<double> timeoutSeconds{};
  std::optional<SystemOp> operation{};  // written "op"

  static Action shortcut(std::string keys);
  static Action system(SystemOp operation);

  // Strict decoding: unknown keys first, then the kind word, then the fields in order. Throws
  // ProfileError (unknownKey, unknownActionKind, unknownSystemOp) or the reader's
  // JsonReadError (not an object, a missing kind, a value of the wrong type).
  static Action decode(const runtime::JsonValueReader& value);
  // The JSON object; absent fields are left out.
  void encode(nlohmann::json& to) const;

  // Checks the one field the kind needs (and that its key combinations parse). isJogControl
  // is true only for the action of a jog control. Throws ProfileError (missingField,
  // invalidShortcut).
  void validate(bool isJogControl) const;

  friend bool operator==(const Action& a, const Action& b);
};

template <>
struct Words<Action::Kind> {
  static constexpr auto list = std::to_array<std::string_view>(
      {"shortcut", "applescript", "shortcutsApp", "url", "shell", "system"});
};

template <>
struct Words<Action::SystemOp> {
  static constexpr auto list =
      std::to_array<std::string_view>({"volumeUp", "volumeDown", "mute", "playPause", "next",
                                       "previous", "doNotDisturb", "screenshot", "lock"});
};

}  // namespace brindlet::profiles
