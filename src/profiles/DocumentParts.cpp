#include "profiles/DocumentParts.h"

#include <algorithm>
#include <nlohmann/json.hpp>

#include "profiles/Coding.h"
#include "profiles/UnknownKeys.h"
#include "runtime/Unicode.h"

namespace brindlet::profiles {

IdList decodeIdList(const runtime::JsonValueReader& value) {
  const runtime::JsonArrayReader array = value.asArray();
  IdList ids;
  ids.reserve(array.size());
  for (std::size_t i = 0; i < array.size(); ++i) ids.push_back(array.element(i).asString());
  return ids;
}

std::optional<IdList> optionalIdList(const runtime::JsonObjectReader& object,
                                     std::string_view key) {
  auto value = object.optional(key);
  if (!value) return std::nullopt;
  return decodeIdList(*value);
}

bool sameTexts(const IdList& a, const IdList& b) {
  return std::equal(
      a.begin(), a.end(), b.begin(), b.end(),
      [](const std::string& x, const std::string& y) { return runtime::canonicallyEqual(x, y); });
}

bool sameTexts(const std::optional<IdList>& a, const std::optional<IdList>& b) {
  if (!a || !b) return a.has_value() == b.has_value();
  return sameTexts(*a, *b);
}

Author Author::decode(const runtime::JsonValueReader& value) {
  rejectUnknownKeys(value, allowedKeys, typeWord);
  const runtime::JsonObjectReader object = value.asObject();
  Author author{.name = object.required("name").asString()};
  author.key = optionalString(object, "key");
  return author;
}

void Author::encode(nlohmann::json& to) const {
  to = nlohmann::json::object();
  to["name"] = name;
  putOptional(to, "key", key);
}

bool operator==(const Author& a, const Author& b) {
  return runtime::canonicallyEqual(a.name, b.name) && sameText(a.key, b.key);
}

IdList Layouts::ids(bool regularLayout, bool inMeeting) const {
  const IdList& base = regularLayout ? regular : compact;
  if (!inMeeting || !meeting) return base;
  // Ids name keys by canonical equivalence, as everywhere else in the format.
  IdList kept;
  for (const auto& id : base)
    if (std::any_of(meeting->begin(), meeting->end(),
                    [&id](const std::string& m) { return runtime::canonicallyEqual(m, id); }))
      kept.push_back(id);
  return kept;
}

Layouts Layouts::decode(const runtime::JsonValueReader& value) {
  rejectUnknownKeys(value, allowedKeys, typeWord);
  const runtime::JsonObjectReader object = value.asObject();
  Layouts layouts{.compact = decodeIdList(object.required("compact"))};
  layouts.regular = decodeIdList(object.required("regular"));
  layouts.meeting = optionalIdList(object, "meeting");
  return layouts;
}

void Layouts::encode(nlohmann::json& to) const {
  to = nlohmann::json::object();
  to["compact"] = compact;
  to["regular"] = regular;
  if (meeting) to["meeting"] = *meeting;
}

bool operator==(const Layouts& a, const Layouts& b) {
  return sameTexts(a.compact, b.compact) && sameTexts(a.regular, b.regular) &&
         sameTexts(a.meeting, b.meeting);
}

Glance Glance::decode(const runtime::JsonValueReader& value) {
  rejectUnknownKeys(value, allowedKeys, typeWord);
  const runtime::JsonObjectReader object = value.asObject();
  Glance glance{.lines = decodeIdList(object.required("lines"))};
  glance.keys = decodeIdList(object.required("keys"));
  return glance;
}

void Glance::encode(nlohmann::json& to) const {
  to = nlohmann::json::object();
  to["lines"] = lines;
  to["keys"] = keys;
}

bool operator==(const Glance& a, const Glance& b) {
  return sameTexts(a.lines, b.lines) && sameTexts(a.keys, b.keys);
}

}  // namespace brindlet::profiles
