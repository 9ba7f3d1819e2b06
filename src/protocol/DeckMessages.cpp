#include "protocol/DeckMessages.h"

#include "protocol/PayloadCodec.h"
#include "protocol/ProtocolError.h"

namespace brindlet::protocol {

using namespace codec;

namespace {

std::string readString(const JsonValueReader& v) {
  return v.asString();
}
double readDouble(const JsonValueReader& v) {
  return v.asDouble();
}

}  // namespace

void DeckAction::validate() const {
  if (phase == DeckActionPhase::value && !value)
    throw ProtocolError::invalidMessage(std::string(type), "value is required when phase is value");
}

void DeckAction::encode(json& out) const {
  out["profile"] = profile;
  out["key"] = key;
  out["phase"] = writeWord(phase);
  putOptional(out, "value", value);
}

DeckAction DeckAction::decode(const JsonObjectReader& in) {
  DeckAction a;
  a.profile = in.required("profile").asString();
  a.key = in.required("key").asString();
  a.phase = readWord<DeckActionPhase>(in.required("phase"));
  a.value = readOptional<double>(in, "value", readDouble);
  return a;
}

void DeckProfile::encode(json& out) const {
  out["profile"] = profile.toJson();
  out["app"] = app;
  out["appName"] = appName;
}

DeckProfile DeckProfile::decode(const JsonObjectReader& in) {
  DeckProfile p;
  p.profile = JSONValue::decode(in.requiredAllowingNull("profile"));
  p.app = in.required("app").asString();
  p.appName = in.required("appName").asString();
  return p;
}

json KeyState::toJson() const {
  auto out = json::object();
  if (ring) out["ring"] = writeWord(*ring);
  putOptional(out, "label", label);
  putOptional(out, "symbol", symbol);
  putOptional(out, "value", value);
  putOptional(out, "lines", lines);
  return out;
}

KeyState KeyState::decode(const JsonValueReader& value) {
  const JsonObjectReader in = value.asObject();
  KeyState s;
  s.ring = readOptional<RingState>(in, "ring", readWord<RingState>);
  s.label = readOptional<std::string>(in, "label", readString);
  s.symbol = readOptional<std::string>(in, "symbol", readString);
  s.value = readOptional<double>(in, "value", readDouble);
  s.lines = readOptional<std::vector<std::string>>(in, "lines", readStrings);
  return s;
}

void DeckState::encode(json& out) const {
  out["profile"] = profile;
  auto looks = json::object();
  for (const auto& [key, look] : states) looks[key] = look.toJson();
  out["states"] = std::move(looks);
}

DeckState DeckState::decode(const JsonObjectReader& in) {
  DeckState d;
  d.profile = in.required("profile").asString();
  const JsonObjectReader states = in.required("states").asObject();
  for (std::string_view key : states.keys())
    d.states.emplace(std::string(key), KeyState::decode(states.requiredAllowingNull(key)));
  return d;
}

void MeetingDeck::encode(json& out) const {
  if (profile) out["profile"] = profile->toJson();
  putOptional(out, "app", app);
  putOptional(out, "appName", appName);
  putOptional(out, "elapsed", elapsed);
}

MeetingDeck MeetingDeck::decode(const JsonObjectReader& in) {
  MeetingDeck m;
  m.profile = readOptional<JSONValue>(in, "profile", JSONValue::decode);
  m.app = readOptional<std::string>(in, "app", readString);
  m.appName = readOptional<std::string>(in, "appName", readString);
  m.elapsed = readOptional<double>(in, "elapsed", readDouble);
  return m;
}

void Glance::validate() const {
  if (lines.size() > maxLines)
    throw ProtocolError::invalidMessage(std::string(type), "at most 3 lines");
  if (keys.size() > maxKeys)
    throw ProtocolError::invalidMessage(std::string(type), "at most 4 keys");
}

void Glance::encode(json& out) const {
  out["appName"] = appName;
  out["symbol"] = symbol;
  out["lines"] = lines;
  out["keys"] = keys;
}

Glance Glance::decode(const JsonObjectReader& in) {
  Glance g;
  g.appName = in.required("appName").asString();
  g.symbol = in.required("symbol").asString();
  g.lines = readStrings(in.required("lines"));
  g.keys = readStrings(in.required("keys"));
  return g;
}

void Share::encode(json& out) const {
  out["on"] = on;
  putOptional(out, "title", title);
}

Share Share::decode(const JsonObjectReader& in) {
  Share s;
  s.on = in.required("on").asBool();
  s.title = readOptional<std::string>(in, "title", readString);
  return s;
}

}  // namespace brindlet::protocol
