#pragma once

#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "protocol/ControlPayload.h"
#include "protocol/Enums.h"
#include "runtime/Bytes.h"

namespace brindlet::protocol {

// The messages that keep a link itself alive: who speaks, pairing, statistics, round trips and
// the reason for closing.

struct Hello {
  static constexpr std::string_view type = "hello";

  std::int64_t proto = 0;
  std::string app;
  std::string device;
  std::string name;
  std::vector<Capability> caps;
  std::optional<std::string> uid;

  void validate() const {}
  // The peer's version when this side supports it, else versionMismatch with the supported
  // versions in ascending order.
  std::int64_t checkVersion(const std::set<std::int64_t>& supported) const;

  void encode(nlohmann::json& out) const;
  static Hello decode(const runtime::JsonObjectReader& in);
  friend bool operator==(const Hello& a, const Hello& b);
};

struct Pair {
  static constexpr std::string_view type = "pair";
  std::string code;

  void validate() const;  // six ASCII digits
  void encode(nlohmann::json& out) const;
  static Pair decode(const runtime::JsonObjectReader& in);
  friend bool operator==(const Pair& a, const Pair& b) { return equality::same(a.code, b.code); }
};

struct PairOK {
  static constexpr std::string_view type = "pairOK";
  static constexpr std::size_t keyLength = 32;
  runtime::Bytes psk;

  void validate() const;
  void encode(nlohmann::json& out) const;
  static PairOK decode(const runtime::JsonObjectReader& in);
  friend bool operator==(const PairOK&, const PairOK&) = default;
};

struct Stats {
  static constexpr std::string_view type = "stats";

  double rttMs = 0;
  double fps = 0;
  std::int64_t droppedFrames = 0;
  std::int64_t bitrateKbps = 0;
  std::optional<double> decodeMs;

  void validate() const {}
  void encode(nlohmann::json& out) const;
  static Stats decode(const runtime::JsonObjectReader& in);
  friend bool operator==(const Stats&, const Stats&) = default;
};

// Ping and pong carry a timestamp of the pinging side's clock, echoed unchanged.
template <const std::string_view& Name>
struct TimestampMessage {
  static constexpr std::string_view type = Name;
  double ts = 0;

  void validate() const {}
  void encode(nlohmann::json& out) const;
  static TimestampMessage decode(const runtime::JsonObjectReader& in);
  friend bool operator==(const TimestampMessage&, const TimestampMessage&) = default;
};

inline constexpr std::string_view kPingName = "ping";
inline constexpr std::string_view kPongName = "pong";
using Ping = TimestampMessage<kPingName>;
using Pong = TimestampMessage<kPongName>;

struct Bye {
  static constexpr std::string_view type = "bye";
  std::string reason;  // a ByeReason word; any text is accepted

  void validate() const {}
  void encode(nlohmann::json& out) const;
  static Bye decode(const runtime::JsonObjectReader& in);
  friend bool operator==(const Bye& a, const Bye& b) { return equality::same(a.reason, b.reason); }
};

}  // namespace brindlet::protocol
