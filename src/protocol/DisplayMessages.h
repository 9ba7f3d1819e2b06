#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "protocol/ControlPayload.h"
#include "protocol/Enums.h"

namespace brindlet::protocol {

// The phone's pane, the computer's virtual display for it, and the phone's input.

struct Pane {
  static constexpr std::string_view type = "pane";

  double w = 0;
  double h = 0;
  std::int64_t scale = 0;
  Orientation orientation = Orientation::portrait;
  Posture posture = Posture::closed;
  Mode mode = Mode::monitor;

  void validate() const;
  void encode(nlohmann::json& out) const;
  static Pane decode(const runtime::JsonObjectReader& in);
  friend bool operator==(const Pane&, const Pane&) = default;
};

struct DisplayReady {
  static constexpr std::string_view type = "displayReady";

  double w = 0;
  double h = 0;
  std::int64_t scale = 0;
  std::uint32_t displayID = 0;
  Codec codec = Codec::h264;
  std::int64_t fps = 0;

  void validate() const {}
  void encode(nlohmann::json& out) const;
  static DisplayReady decode(const runtime::JsonObjectReader& in);
  friend bool operator==(const DisplayReady&, const DisplayReady&) = default;
};

// Messages without fields: only "t" and "id" travel, anything else is ignored on receipt.
template <const std::string_view& Name>
struct EmptyMessage {
  static constexpr std::string_view type = Name;

  void validate() const {}
  void encode(nlohmann::json&) const {}
  static EmptyMessage decode(const runtime::JsonObjectReader&) { return {}; }
  friend bool operator==(const EmptyMessage&, const EmptyMessage&) = default;
};

inline constexpr std::string_view kDisplayGoneName = "displayGone";
inline constexpr std::string_view kNeedKeyframeName = "needKeyframe";
using DisplayGone = EmptyMessage<kDisplayGoneName>;
using NeedKeyframe = EmptyMessage<kNeedKeyframeName>;

struct Touch {
  static constexpr std::string_view type = "touch";

  TouchPhase phase = TouchPhase::began;
  double x = 0;
  double y = 0;
  MouseButton button = MouseButton::left;
  PointerKind pointer = PointerKind::finger;
  std::optional<double> pressure;

  void validate() const;
  void encode(nlohmann::json& out) const;
  static Touch decode(const runtime::JsonObjectReader& in);
  friend bool operator==(const Touch&, const Touch&) = default;
};

struct Scroll {
  static constexpr std::string_view type = "scroll";

  double dx = 0;
  double dy = 0;
  ScrollPhase phase = ScrollPhase::began;
  bool momentum = false;

  void validate() const {}
  void encode(nlohmann::json& out) const;
  static Scroll decode(const runtime::JsonObjectReader& in);
  friend bool operator==(const Scroll&, const Scroll&) = default;
};

struct Key {
  static constexpr std::string_view type = "key";

  std::uint16_t keyCode = 0;
  bool down = false;
  std::vector<Modifier> mods;  // order and repeats kept

  void validate() const {}
  void encode(nlohmann::json& out) const;
  static Key decode(const runtime::JsonObjectReader& in);
  friend bool operator==(const Key&, const Key&) = default;
};

// Wire type "text": text the user typed, entered unchanged.
struct TypedText {
  static constexpr std::string_view type = "text";
  static constexpr std::size_t maxUTF16Length = 1024;

  std::string text;

  void validate() const;
  void encode(nlohmann::json& out) const;
  static TypedText decode(const runtime::JsonObjectReader& in);
  friend bool operator==(const TypedText& a, const TypedText& b) {
    return equality::same(a.text, b.text);
  }
};

}  // namespace brindlet::protocol
