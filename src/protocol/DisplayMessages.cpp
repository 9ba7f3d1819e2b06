#include "protocol/DisplayMessages.h"

#include <cmath>

#include "protocol/PayloadCodec.h"
#include "protocol/ProtocolError.h"

namespace brindlet::protocol {

using namespace codec;

namespace {

[[noreturn]] void invalid(std::string_view type, const char* reason) {
  throw ProtocolError::invalidMessage(std::string(type), reason);
}

bool inUnitRange(double v) {
  return v >= 0 && v <= 1;
}  // NaN fails both comparisons

}  // namespace

void Pane::validate() const {
  if (scale != 2 && scale != 3) invalid(type, "scale must be 2 or 3");
  const auto ok = [](double v) { return std::isfinite(v) && v >= 0; };
  if (!ok(w) || !ok(h)) invalid(type, "w and h must be finite and non-negative");
}

void Pane::encode(json& out) const {
  out["w"] = w;
  out["h"] = h;
  out["scale"] = scale;
  out["orientation"] = writeWord(orientation);
  out["posture"] = writeWord(posture);
  out["mode"] = writeWord(mode);
}

Pane Pane::decode(const JsonObjectReader& in) {
  Pane p;
  p.w = in.required("w").asDouble();
  p.h = in.required("h").asDouble();
  p.scale = in.required("scale").asInt64();
  p.orientation = readWord<Orientation>(in.required("orientation"));
  p.posture = readWord<Posture>(in.required("posture"));
  p.mode = readWord<Mode>(in.required("mode"));
  return p;
}

void DisplayReady::encode(json& out) const {
  out["w"] = w;
  out["h"] = h;
  out["scale"] = scale;
  out["displayID"] = displayID;
  out["codec"] = writeWord(codec);
  out["fps"] = fps;
}

DisplayReady DisplayReady::decode(const JsonObjectReader& in) {
  DisplayReady d;
  d.w = in.required("w").asDouble();
  d.h = in.required("h").asDouble();
  d.scale = in.required("scale").asInt64();
  d.displayID = in.required("displayID").asUInt32();
  d.codec = readWord<Codec>(in.required("codec"));
  d.fps = in.required("fps").asInt64();
  return d;
}

void Touch::validate() const {
  if (!inUnitRange(x) || !inUnitRange(y)) invalid(type, "x and y must be in 0...1");
  if (pressure && !inUnitRange(*pressure)) invalid(type, "pressure must be in 0...1");
}

void Touch::encode(json& out) const {
  out["phase"] = writeWord(phase);
  out["x"] = x;
  out["y"] = y;
  out["button"] = writeWord(button);
  out["pointer"] = writeWord(pointer);
  putOptional(out, "pressure", pressure);
}

Touch Touch::decode(const JsonObjectReader& in) {
  Touch t;
  t.phase = readWord<TouchPhase>(in.required("phase"));
  t.x = in.required("x").asDouble();
  t.y = in.required("y").asDouble();
  t.button = readWord<MouseButton>(in.required("button"));
  t.pointer = readWord<PointerKind>(in.required("pointer"));
  t.pressure =
      readOptional<double>(in, "pressure", [](const JsonValueReader& v) { return v.asDouble(); });
  return t;
}

void Scroll::encode(json& out) const {
  out["dx"] = dx;
  out["dy"] = dy;
  out["phase"] = writeWord(phase);
  out["momentum"] = momentum;
}

Scroll Scroll::decode(const JsonObjectReader& in) {
  Scroll s;
  s.dx = in.required("dx").asDouble();
  s.dy = in.required("dy").asDouble();
  s.phase = readWord<ScrollPhase>(in.required("phase"));
  s.momentum = in.required("momentum").asBool();
  return s;
}

void Key::encode(json& out) const {
  out["keyCode"] = keyCode;
  out["down"] = down;
  auto words = json::array();
  for (Modifier m : mods) words.push_back(writeWord(m));
  out["mods"] = std::move(words);
}

Key Key::decode(const JsonObjectReader& in) {
  Key k;
  k.keyCode = in.required("keyCode").asUInt16();
  k.down = in.required("down").asBool();
  k.mods = readArray<Modifier>(in.required("mods"), readWord<Modifier>);
  return k;
}

void TypedText::validate() const {
  const std::size_t units = runtime::utf16Length(text);
  if (units == 0 || units > maxUTF16Length) invalid(type, "text must be 1\u20131024 UTF-16 units");
}

void TypedText::encode(json& out) const {
  out["text"] = text;
}

TypedText TypedText::decode(const JsonObjectReader& in) {
  return TypedText{in.required("text").asString()};
}

}  // namespace brindlet::protocol
