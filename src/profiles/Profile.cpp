#include "profiles/Profile.h"

#include <algorithm>
#include <nlohmann/json.hpp>

#include "profiles/Coding.h"
#include "profiles/UnknownKeys.h"
#include "runtime/Unicode.h"

namespace brindlet::profiles {
namespace {

template <class T>
std::optional<T> optionalRecord(const runtime::JsonObjectReader& object, std::string_view key) {
  auto value = object.optional(key);
  if (!value) return std::nullopt;
  return T::decode(*value);
}

template <class T>
std::map<std::string, T> decodeRecords(const runtime::JsonValueReader& value) {
  return decodeEntries<std::map<std::string, T>>(
      value, [](const runtime::JsonValueReader& entry) { return T::decode(entry); });
}

template <class T>
std::optional<std::map<std::string, T>> optionalRecords(const runtime::JsonObjectReader& object,
                                                        std::string_view key) {
  auto value = object.optional(key);
  if (!value) return std::nullopt;
  return decodeRecords<T>(*value);
}

template <class T>
void putRecord(nlohmann::json& to, std::string_view key, const std::optional<T>& value) {
  if (value) value->encode(to[std::string(key)]);
}

template <class T>
void putRecords(nlohmann::json& to, std::string_view key, const std::map<std::string, T>& map) {
  auto& out = to[std::string(key)] = nlohmann::json::object();
  for (const auto& [id, record] : map) record.encode(out[id]);
}

template <class T>
bool sameRecords(const T& a, const T& b) {
  return sameEntries(a, b, [](const auto& x, const auto& y) { return x == y; });
}

bool sameString(const std::string& a, const std::string& b) {
  return runtime::canonicallyEqual(a, b);
}

}  // namespace

Profile Profile::decode(const runtime::JsonValueReader& value) {
  rejectUnknownKeys(value, allowedKeys, typeWord);
  const runtime::JsonObjectReader object = value.asObject();
  Profile profile;
  profile.schema = object.required("schema").asInt64();
  profile.id = object.required("id").asString();
  profile.name = object.required("name").asString();
  profile.apps = decodeIdList(object.required("apps"));
  profile.windowTitleContains = optionalString(object, "windowTitleContains");
  profile.testedAppVersion = optionalString(object, "testedAppVersion");
  if (auto accent = object.optional("accent")) profile.accent = decoderWord<Accent>(*accent);
  profile.author = optionalRecord<Author>(object, "author");
  profile.signature = optionalString(object, "signature");
  profile.layouts = Layouts::decode(object.required("layouts"));
  profile.touchBar = optionalIdList(object, "touchBar");
  profile.glance = optionalRecord<Glance>(object, "glance");
  profile.keys = decodeRecords<KeySpec>(object.required("keys"));
  profile.controls = optionalRecords<Control>(object, "controls");
  profile.readers = optionalRecords<Reader>(object, "readers");
  return profile;
}

void Profile::encode(nlohmann::json& to) const {
  to = nlohmann::json::object();
  to["schema"] = schema;
  to["id"] = id;
  to["name"] = name;
  to["apps"] = apps;
  putOptional(to, "windowTitleContains", windowTitleContains);
  putOptional(to, "testedAppVersion", testedAppVersion);
  if (accent) to["accent"] = wordOf(*accent);
  putRecord(to, "author", author);
  putOptional(to, "signature", signature);
  layouts.encode(to["layouts"]);
  if (touchBar) to["touchBar"] = *touchBar;
  putRecord(to, "glance", glance);
  putRecords(to, "keys", keys);
  if (controls) putRecords(to, "controls", *controls);
  if (readers) putRecords(to, "readers", *readers);
}

bool Profile::matches(std::string_view bundleID,
                      const std::optional<std::string>& windowTitle) const {
  if (std::find(apps.begin(), apps.end(), bundleID) == apps.end()) return false;
  if (!windowTitleContains) return true;
  if (!windowTitle) return false;
  return runtime::containsIgnoringCase(*windowTitle, *windowTitleContains);
}

bool operator==(const Profile& a, const Profile& b) {
  return a.schema == b.schema && sameString(a.id, b.id) && sameString(a.name, b.name) &&
         sameTexts(a.apps, b.apps) && sameText(a.windowTitleContains, b.windowTitleContains) &&
         sameText(a.testedAppVersion, b.testedAppVersion) && a.accent == b.accent &&
         a.author == b.author && sameText(a.signature, b.signature) && a.layouts == b.layouts &&
         sameTexts(a.touchBar, b.touchBar) && a.glance == b.glance && sameRecords(a.keys, b.keys) &&
         sameRecords(a.controls, b.controls) && sameRecords(a.readers, b.readers);
}

}  // namespace brindlet::profiles
