#include "protocol/AgentMessages.h"

#include "protocol/PayloadCodec.h"
#include "protocol/ProtocolError.h"

namespace brindlet::protocol {

using namespace codec;

namespace {
std::string readString(const JsonValueReader& v) {
  return v.asString();
}
}  // namespace

json AgentRequest::toJson() const {
  return json{{"id", id}, {"tool", tool}, {"summary", summary}, {"canAlwaysAllow", canAlwaysAllow}};
}

AgentRequest AgentRequest::decode(const JsonValueReader& value) {
  const JsonObjectReader in = value.asObject();
  AgentRequest r;
  r.id = in.required("id").asString();
  r.tool = in.required("tool").asString();
  r.summary = in.required("summary").asString();
  r.canAlwaysAllow = in.required("canAlwaysAllow").asBool();
  return r;
}

json AgentEvent::toJson() const {
  return json{{"kind", writeWord(kind)}, {"text", text}, {"time", time}};
}

AgentEvent AgentEvent::decode(const JsonValueReader& value) {
  const JsonObjectReader in = value.asObject();
  AgentEvent e;
  e.kind = readWord<Kind>(in.required("kind"));
  e.text = in.required("text").asString();
  e.time = in.required("time").asDouble();
  return e;
}

json AgentCard::toJson() const {
  json out = json::object();
  out["id"] = id;
  out["vendor"] = vendor;
  out["title"] = title;
  putOptional(out, "branch", branch);
  out["state"] = writeWord(state);
  out["detail"] = detail;
  out["since"] = since;
  if (request) out["request"] = request->toJson();
  out["canJump"] = canJump;
  if (recent) {
    auto events = json::array();
    for (const auto& e : *recent) events.push_back(e.toJson());
    out["recent"] = std::move(events);
  }
  return out;
}

AgentCard AgentCard::decode(const JsonValueReader& value) {
  const JsonObjectReader in = value.asObject();
  AgentCard c;
  c.id = in.required("id").asString();
  c.vendor = in.required("vendor").asString();
  c.title = in.required("title").asString();
  c.branch = readOptional<std::string>(in, "branch", readString);
  c.state = readWord<AgentState>(in.required("state"));
  c.detail = in.required("detail").asString();
  c.since = in.required("since").asDouble();
  c.request = readOptional<AgentRequest>(in, "request", AgentRequest::decode);
  c.canJump = in.required("canJump").asBool();
  c.recent = readOptional<std::vector<AgentEvent>>(in, "recent", [](const JsonValueReader& v) {
    return readArray<AgentEvent>(v, AgentEvent::decode);
  });
  return c;
}

bool operator==(const AgentCard& a, const AgentCard& b) {
  using C = AgentCard;
  return equality::fields(a, b, &C::id, &C::vendor, &C::title, &C::branch) && a.state == b.state &&
         equality::same(a.detail, b.detail) && a.since == b.since && a.request == b.request &&
         a.canJump == b.canJump && a.recent == b.recent;
}

void AgentBoard::encode(json& out) const {
  auto cards = json::array();
  for (const auto& card : agents) cards.push_back(card.toJson());
  out["agents"] = std::move(cards);
}

AgentBoard AgentBoard::decode(const JsonObjectReader& in) {
  return AgentBoard{readArray<AgentCard>(in.required("agents"), AgentCard::decode)};
}

void AgentAction::validate() const {
  const auto missing = [](const std::optional<std::string>& field) {
    return !field || field->empty();
  };
  switch (verb) {
    case AgentVerb::approve:
    case AgentVerb::alwaysAllow:
    case AgentVerb::deny:
      if (missing(request))
        throw ProtocolError::invalidMessage(std::string(type),
                                            writeWord(verb) + " needs the request id");
      break;
    case AgentVerb::reply:
      if (missing(text)) throw ProtocolError::invalidMessage(std::string(type), "reply needs text");
      break;
    case AgentVerb::jump:
    case AgentVerb::stop:
      break;
  }
}

void AgentAction::encode(json& out) const {
  out["agent"] = agent;
  out["verb"] = writeWord(verb);
  putOptional(out, "request", request);
  putOptional(out, "text", text);
}

AgentAction AgentAction::decode(const JsonObjectReader& in) {
  AgentAction a;
  a.agent = in.required("agent").asString();
  a.verb = readWord<AgentVerb>(in.required("verb"));
  a.request = readOptional<std::string>(in, "request", readString);
  a.text = readOptional<std::string>(in, "text", readString);
  return a;
}

}  // namespace brindlet::protocol
