#include "profiles/Reader.h"

#include <nlohmann/json.hpp>

#include "profiles/Coding.h"
#include "profiles/ProfileError.h"

namespace brindlet::profiles {

Reader Reader::decode(const runtime::JsonValueReader& value, KeyList extraKeys) {
  rejectUnknownKeys(value, allowedKeys, extraKeys, typeWord);
  const runtime::JsonObjectReader object = value.asObject();
  Reader reader{.reader = requiredWord<Kind>(object, "reader", &ProfileError::unknownReaderKind)};
  reader.path = optionalString(object, "path");
  reader.lines = optionalInt64(object, "lines");
  reader.name = optionalString(object, "name");
  reader.startOn = optionalString(object, "startOn");
  reader.format = optionalString(object, "format");
  return reader;
}

void Reader::encode(nlohmann::json& to) const {
  if (!to.is_object()) to = nlohmann::json::object();
  to["reader"] = wordOf(reader);
  putOptional(to, "path", path);
  putOptional(to, "lines", lines);
  putOptional(to, "name", name);
  putOptional(to, "startOn", startOn);
  putOptional(to, "format", format);
}

void Reader::validate() const {
  switch (reader) {
    case Kind::axValue:
      if (!path) throw ProfileError::missingField("path", "axValue reader");
      return;
    case Kind::logTail:
      if (!path) throw ProfileError::missingField("path", "logTail reader");
      return;
    case Kind::process:
      if (!name) throw ProfileError::missingField("name", "process reader");
      return;
    case Kind::meetingTimer:
      return;
  }
}

bool operator==(const Reader& a, const Reader& b) {
  return a.reader == b.reader && sameText(a.path, b.path) && a.lines == b.lines &&
         sameText(a.name, b.name) && sameText(a.startOn, b.startOn) && sameText(a.format, b.format);
}

}  // namespace brindlet::profiles
