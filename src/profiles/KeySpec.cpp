#include "profiles/KeySpec.h"

#include <nlohmann/json.hpp>

#include "profiles/Coding.h"
#include "profiles/DocumentParts.h"
#include "profiles/UnknownKeys.h"
#include "runtime/Unicode.h"

namespace brindlet::profiles {
namespace {

std::optional<Action> optionalAction(const runtime::JsonObjectReader& object,
                                     std::string_view key) {
  auto value = object.optional(key);
  if (!value) return std::nullopt;
  return Action::decode(*value);
}

template <class T>
void putEncoded(nlohmann::json& to, std::string_view key, const std::optional<T>& value) {
  if (value) value->encode(to[std::string(key)]);
}

bool sameString(const std::string& a, const std::string& b) {
  return runtime::canonicallyEqual(a, b);
}

}  // namespace

KeyStateSpec KeyStateSpec::decode(const runtime::JsonValueReader& value) {
  rejectUnknownKeys(value, Reader::allowedKeys, stateKeys, typeWord);
  KeyStateSpec state{.reader = Reader::decode(value, stateKeys)};
  const runtime::JsonObjectReader object = value.asObject();
  if (auto ring = object.optional("ring"))
    state.ring = decodeEntries<std::map<std::string, Ring>>(
        *ring, [](const runtime::JsonValueReader& word) { return decoderWord<Ring>(word); });
  if (auto symbols = object.optional("symbolWhen"))
    state.symbolWhen = decodeEntries<std::map<std::string, std::string>>(
        *symbols, [](const runtime::JsonValueReader& name) { return name.asString(); });
  return state;
}

void KeyStateSpec::encode(nlohmann::json& to) const {
  to = nlohmann::json::object();
  reader.encode(to);
  if (ring) {
    auto& out = to["ring"] = nlohmann::json::object();
    for (const auto& [word, colour] : *ring) out[word] = wordOf(colour);
  }
  if (symbolWhen) to["symbolWhen"] = *symbolWhen;
}

bool operator==(const KeyStateSpec& a, const KeyStateSpec& b) {
  return a.reader == b.reader &&
         sameEntries(a.ring, b.ring, [](Ring x, Ring y) { return x == y; }) &&
         sameEntries(a.symbolWhen, b.symbolWhen, sameString);
}

KeySpec KeySpec::decode(const runtime::JsonValueReader& value) {
  rejectUnknownKeys(value, allowedKeys, typeWord);
  const runtime::JsonObjectReader object = value.asObject();
  KeySpec key{.label = object.required("label").asString()};
  key.symbol = object.required("symbol").asString();
  if (auto tint = object.optional("tint")) key.tint = decoderWord<Accent>(*tint);
  key.intent = optionalWord<MeetingIntent>(object, "intent", &ProfileError::unknownIntent);
  key.action = optionalAction(object, "action");
  key.press = optionalAction(object, "press");
  key.release = optionalAction(object, "release");
  if (auto state = object.optional("state")) key.state = KeyStateSpec::decode(*state);
  return key;
}

void KeySpec::encode(nlohmann::json& to) const {
  to = nlohmann::json::object();
  to["label"] = label;
  to["symbol"] = symbol;
  if (tint) to["tint"] = wordOf(*tint);
  if (intent) to["intent"] = wordOf(*intent);
  putEncoded(to, "action", action);
  putEncoded(to, "press", press);
  putEncoded(to, "release", release);
  putEncoded(to, "state", state);
}

bool operator==(const KeySpec& a, const KeySpec& b) {
  return sameString(a.label, b.label) && sameString(a.symbol, b.symbol) && a.tint == b.tint &&
         a.intent == b.intent && a.action == b.action && a.press == b.press &&
         a.release == b.release && a.state == b.state;
}

}  // namespace brindlet::profiles
