#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "protocol/ControlPayload.h"
#include "protocol/Enums.h"

namespace brindlet::protocol {

// The board of coding-agent sessions shown on the phone, and the phone's answer to one card.
// Times are seconds since 1970-01-01 UTC.

struct AgentRequest {
  std::string id;
  std::string tool;
  std::string summary;
  bool canAlwaysAllow = false;

  nlohmann::json toJson() const;
  static AgentRequest decode(const runtime::JsonValueReader& in);
  friend bool operator==(const AgentRequest& a, const AgentRequest& b) {
    return equality::fields(a, b, &AgentRequest::id, &AgentRequest::tool, &AgentRequest::summary) &&
           a.canAlwaysAllow == b.canAlwaysAllow;
  }
};

struct AgentEvent {
  using Kind = AgentEventKind;

  Kind kind = Kind::notice;
  std::string text;
  double time = 0;

  nlohmann::json toJson() const;
  static AgentEvent decode(const runtime::JsonValueReader& in);
  friend bool operator==(const AgentEvent& a, const AgentEvent& b) {
    return a.kind == b.kind && equality::same(a.text, b.text) && a.time == b.time;
  }
};

struct AgentCard {
  static constexpr std::size_t recentLimit = 30;

  std::string id;
  std::string vendor;
  std::string title;
  std::optional<std::string> branch;
  AgentState state = AgentState::idle;
  std::string detail;
  double since = 0;
  std::optional<AgentRequest> request;
  bool canJump = false;
  std::optional<std::vector<AgentEvent>> recent;  // oldest first

  nlohmann::json toJson() const;
  static AgentCard decode(const runtime::JsonValueReader& in);
  friend bool operator==(const AgentCard& a, const AgentCard& b);
};

struct AgentBoard {
  static constexpr std::string_view type = "agentBoard";

  std::vector<AgentCard> agents;  // in display order

  void validate() const {}
  void encode(nlohmann::json& out) const;
  static AgentBoard decode(const runtime::JsonObjectReader& in);
  friend bool operator==(const AgentBoard&, const AgentBoard&) = default;
};

struct AgentAction {
  static constexpr std::string_view type = "agentAction";

  std::string agent;
  AgentVerb verb = AgentVerb::jump;
  std::optional<std::string> request;
  std::optional<std::string> text;

  void validate() const;
  void encode(nlohmann::json& out) const;
  static AgentAction decode(const runtime::JsonObjectReader& in);
  friend bool operator==(const AgentAction& a, const AgentAction& b) {
    return equality::same(a.agent, b.agent) && a.verb == b.verb &&
           equality::fields(a, b, &AgentAction::request, &AgentAction::text);
  }
};

}  // namespace brindlet::protocol
