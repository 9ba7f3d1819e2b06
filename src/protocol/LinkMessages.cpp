#include "protocol/LinkMessages.h"

#include "protocol/PayloadCodec.h"
#include "protocol/ProtocolError.h"
#include "runtime/Base64.h"

namespace brindlet::protocol {

using namespace codec;

std::int64_t Hello::checkVersion(const std::set<std::int64_t>& supported) const {
  if (supported.contains(proto)) return proto;
  // A std::set iterates in ascending order already.
  throw ProtocolError::versionMismatch(proto, {supported.begin(), supported.end()});
}

void Hello::encode(json& out) const {
  out["proto"] = proto;
  out["app"] = app;
  out["device"] = device;
  out["name"] = name;
  auto words = json::array();
  for (const auto& cap : caps) words.push_back(cap.rawValue);
  out["caps"] = std::move(words);
  putOptional(out, "uid", uid);
}

Hello Hello::decode(const JsonObjectReader& in) {
  Hello h;
  h.proto = in.required("proto").asInt64();
  h.app = in.required("app").asString();
  h.device = in.required("device").asString();
  h.name = in.required("name").asString();
  h.caps = readArray<Capability>(in.required("caps"),
                                 [](const JsonValueReader& v) { return Capability{v.asString()}; });
  h.uid =
      readOptional<std::string>(in, "uid", [](const JsonValueReader& v) { return v.asString(); });
  return h;
}

bool operator==(const Hello& a, const Hello& b) {
  return a.proto == b.proto && equality::same(a.app, b.app) && equality::same(a.device, b.device) &&
         equality::same(a.name, b.name) && a.caps == b.caps && equality::same(a.uid, b.uid);
}

void Pair::validate() const {
  // Exactly six characters, each an ASCII digit: any non-ASCII character, combining mark or
  // other digit form fails, so the bytes alone decide.
  bool ok = code.size() == 6;
  for (char c : code) ok = ok && c >= '0' && c <= '9';
  if (!ok) throw ProtocolError::invalidMessage(std::string(type), "code must be 6 digits");
}

void Pair::encode(json& out) const {
  out["code"] = code;
}

Pair Pair::decode(const JsonObjectReader& in) {
  return Pair{in.required("code").asString()};
}

void PairOK::validate() const {
  if (psk.size() != keyLength)
    throw ProtocolError::invalidMessage(std::string(type),
                                        "psk must be " + std::to_string(keyLength) + " bytes");
}

void PairOK::encode(json& out) const {
  out["psk"] = runtime::base64Encode(psk);
}

PairOK PairOK::decode(const JsonObjectReader& in) {
  return PairOK{in.required("psk").asBase64()};
}

void Stats::encode(json& out) const {
  out["rttMs"] = rttMs;
  out["fps"] = fps;
  out["droppedFrames"] = droppedFrames;
  out["bitrateKbps"] = bitrateKbps;
  putOptional(out, "decodeMs", decodeMs);
}

Stats Stats::decode(const JsonObjectReader& in) {
  Stats s;
  s.rttMs = in.required("rttMs").asDouble();
  s.fps = in.required("fps").asDouble();
  s.droppedFrames = in.required("droppedFrames").asInt64();
  s.bitrateKbps = in.required("bitrateKbps").asInt64();
  s.decodeMs =
      readOptional<double>(in, "decodeMs", [](const JsonValueReader& v) { return v.asDouble(); });
  return s;
}

template <const std::string_view& Name>
void TimestampMessage<Name>::encode(json& out) const {
  out["ts"] = ts;
}

template <const std::string_view& Name>
TimestampMessage<Name> TimestampMessage<Name>::decode(const JsonObjectReader& in) {
  return TimestampMessage{in.required("ts").asDouble()};
}

template struct TimestampMessage<kPingName>;
template struct TimestampMessage<kPongName>;

void Bye::encode(json& out) const {
  out["reason"] = reason;
}

Bye Bye::decode(const JsonObjectReader& in) {
  return Bye{in.required("reason").asString()};
}

}  // namespace brindlet::protocol
