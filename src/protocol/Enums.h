#pragma once

#include <array>
#include <optional>
#include <string>
#include <string_view>

namespace brindlet::protocol {

// The closed vocabularies that travel as words on the wire. Each word is its case name; a word
// is matched exactly (case-sensitive, untrimmed). wordOf / parse<E> convert; allCases<E> lists
// the cases in declaration order.

enum class Posture { closed, partiallyOpen, fullyOpen };
enum class Mode { monitor, laptop, glance, share, deckOnly, lite };
enum class Orientation { portrait, landscape };
enum class Codec { h264, hevc };
enum class TouchPhase { began, moved, ended, cancelled };
enum class MouseButton { left, right };
enum class PointerKind { finger, pencil };
enum class ScrollPhase { began, changed, ended };
enum class Modifier { cmd, opt, ctrl, shift };
enum class DeckActionPhase { press, release, value };
enum class RingState { good, warning, critical, none };
enum class AgentState { needsYou, error, done, working, idle };
enum class AgentEventKind { prompt, tool, approved, denied, message, error, notice };
enum class AgentVerb { approve, alwaysAllow, deny, jump, stop, reply };

template <class E>
struct EnumWords;  // words in declaration order, and the type's name for error texts

#define BRINDLET_ENUM_WORDS(E, ...)                                               \
  template <>                                                                     \
  struct EnumWords<E> {                                                           \
    static constexpr std::string_view name = #E;                                  \
    static constexpr auto words = std::to_array<std::string_view>({__VA_ARGS__}); \
  };

BRINDLET_ENUM_WORDS(Posture, "closed", "partiallyOpen", "fullyOpen")
BRINDLET_ENUM_WORDS(Mode, "monitor", "laptop", "glance", "share", "deckOnly", "lite")
BRINDLET_ENUM_WORDS(Orientation, "portrait", "landscape")
BRINDLET_ENUM_WORDS(Codec, "h264", "hevc")
BRINDLET_ENUM_WORDS(TouchPhase, "began", "moved", "ended", "cancelled")
BRINDLET_ENUM_WORDS(MouseButton, "left", "right")
BRINDLET_ENUM_WORDS(PointerKind, "finger", "pencil")
BRINDLET_ENUM_WORDS(ScrollPhase, "began", "changed", "ended")
BRINDLET_ENUM_WORDS(Modifier, "cmd", "opt", "ctrl", "shift")
BRINDLET_ENUM_WORDS(DeckActionPhase, "press", "release", "value")
BRINDLET_ENUM_WORDS(RingState, "good", "warning", "critical", "none")
BRINDLET_ENUM_WORDS(AgentState, "needsYou", "error", "done", "working", "idle")
BRINDLET_ENUM_WORDS(AgentEventKind, "prompt", "tool", "approved", "denied", "message", "error",
                    "notice")
BRINDLET_ENUM_WORDS(AgentVerb, "approve", "alwaysAllow", "deny", "jump", "stop", "reply")

#undef BRINDLET_ENUM_WORDS

template <class E>
constexpr std::string_view wordOf(E value) {
  return EnumWords<E>::words[static_cast<std::size_t>(value)];
}

template <class E>
constexpr std::optional<E> parse(std::string_view word) {
  const auto& words = EnumWords<E>::words;
  for (std::size_t i = 0; i < words.size(); ++i)
    if (words[i] == word) return static_cast<E>(i);
  return std::nullopt;
}

template <class E>
constexpr auto allCases() {
  std::array<E, EnumWords<E>::words.size()> cases{};
  for (std::size_t i = 0; i < cases.size(); ++i) cases[i] = static_cast<E>(i);
  return cases;
}

// An open set of capability words in a hello; any word is kept, unknown ones are ignored.
struct Capability {
  std::string rawValue;

  static const Capability hinge;
  static const Capability pencil;
  static const Capability pressure;
  static const Capability hevc;
  static const Capability keyboard;

  friend bool operator==(const Capability&, const Capability&) = default;
};

inline const Capability Capability::hinge{"hinge"};
inline const Capability Capability::pencil{"pencil"};
inline const Capability Capability::pressure{"pressure"};
inline const Capability Capability::hevc{"hevc"};
inline const Capability Capability::keyboard{"keyboard"};

// The words a side puts into Bye.reason when it closes a link.
namespace ByeReason {
inline constexpr std::string_view busy = "busy";
inline constexpr std::string_view usbDetached = "usbDetached";
inline constexpr std::string_view protocolViolation = "protocolViolation";
inline constexpr std::string_view versionMismatch = "versionMismatch";
inline constexpr std::string_view backgrounded = "backgrounded";
inline constexpr std::string_view helloTimeout = "helloTimeout";
inline constexpr std::string_view pairingFailed = "pairingFailed";
inline constexpr std::string_view userDisconnected = "userDisconnected";
inline constexpr std::string_view pairingLockedOut = "pairingLockedOut";
inline constexpr std::string_view pairingEnded = "pairingEnded";
}  // namespace ByeReason

// A deck action that the computer handles itself: the pseudo profile and the Dock key.
namespace SystemAction {
inline constexpr std::string_view system = "system";
inline constexpr std::string_view showDock = "showDock";
}  // namespace SystemAction

}  // namespace brindlet::protocol

template <>
struct std::hash<brindlet::protocol::Capability> {
  std::size_t operator()(const brindlet::protocol::Capability& c) const {
    return std::hash<std::string>{}(c.rawValue);
  }
};
