// Profile files come from other people: whatever bytes they hold, reading them must end in a
// value or a ProfileError with a UTF-8 message (or the JSON reader's own error, which loading
// reports as malformed JSON), never in a crash, a hang or another exception. Decoded records must
// survive being written and read again unchanged, and the JSON reader must agree with the JSON
// library wherever the library's answer is the right one.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string_view>

#include <nlohmann/json.hpp>

#include "profiles/Action.h"
#include "profiles/Control.h"
#include "profiles/JSONShapeScanner.h"
#include "profiles/Profile.h"
#include "profiles/ProfileError.h"
#include "profiles/Reader.h"
#include "profiles/Shortcut.h"
#include "runtime/Unicode.h"

namespace {

using namespace brindlet;
using nlohmann::json;

void checkText(std::string_view text) {
  if (!runtime::isValidUTF8(text)) std::abort();
}

template <class T, class Check>
void decodeAndCheck(const runtime::JsonValueReader& value, Check check) {
  std::optional<T> record;
  try {
    record = T::decode(value);
  } catch (const profiles::ProfileError& e) {
    return checkText(e.description());
  } catch (const runtime::JsonReadError& e) {
    return checkText(e.text());
  }
  try {
    check(*record);
  } catch (const profiles::ProfileError& e) {
    checkText(e.description());
  }
  json written;
  record->encode(written);
  const runtime::JsonDocument reread(runtime::writeJson(written));
  if (!(T::decode(reread.reader()) == *record)) std::abort();
}

void decodeRecords(const runtime::JsonValueReader& value) {
  decodeAndCheck<profiles::Action>(value, [](const profiles::Action& action) {
    action.validate(false);
    action.validate(true);
  });
  decodeAndCheck<profiles::Control>(value, [](const profiles::Control& c) { c.validate(); });
  decodeAndCheck<profiles::Reader>(value, [](const profiles::Reader& r) { r.validate(); });
  if (value.json().is_string()) {
    try {
      profiles::Shortcut::parse(value.json().get_ref<const std::string&>());
    } catch (const profiles::ProfileError& e) {
      checkText(e.description());
    }
  }
}

// A whole file: a profile or exactly one ProfileError; a profile that loads is written in its
// canonical form, which loads again to the same profile and the same bytes.
void loadProfile(std::string_view bytes) {
  std::optional<profiles::Profile> profile;
  try {
    profile = profiles::Profile::load(bytes);
  } catch (const profiles::ProfileError& e) {
    return checkText(e.description());
  }
  const std::string canonical = profile->canonicalData();
  const profiles::Profile again = profiles::Profile::load(canonical);
  if (!(again == *profile) || again.canonicalData() != canonical) std::abort();
}

// The library reads to the first NUL byte, refuses numbers past a double's range and nests
// without bound; everywhere else both readers must take the same documents to the same values.
void compareWithLibrary(std::string_view bytes, const std::optional<runtime::JsonDocument>& ours,
                        bool tooDeep) {
  if (tooDeep || bytes.find('\0') != std::string_view::npos) return;
  std::optional<json> theirs;
  try {
    theirs = json::parse(bytes);
  } catch (const json::out_of_range&) {
    return;
  } catch (const json::parse_error&) {
  }
  if (ours.has_value() != theirs.has_value()) std::abort();
  if (ours && ours->value() != *theirs) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  loadProfile(bytes);
  profiles::JSONShapeScanner scanner(bytes);
  try {
    scanner.scanValue();
  } catch (const profiles::ProfileError& e) {
    checkText(e.description());
  }
  if (scanner.position() > size) std::abort();
  std::optional<runtime::JsonDocument> doc;
  bool tooDeep = false;
  try {
    doc.emplace(bytes);
  } catch (const runtime::JsonReadError& e) {
    checkText(e.text());
    tooDeep = e.text().find("nest deeper") != std::string::npos;
  }
  compareWithLibrary(bytes, doc, tooDeep);
  if (!doc) return 0;
  const runtime::JsonValueReader top = doc->reader();
  decodeRecords(top);
  if (top.json().is_array()) {
    const runtime::JsonArrayReader elements = top.asArray();
    for (std::size_t i = 0; i < elements.size(); ++i) decodeRecords(elements.element(i));
  } else if (top.json().is_object()) {
    const runtime::JsonObjectReader members = top.asObject();
    for (std::string_view key : members.keys()) decodeRecords(members.requiredAllowingNull(key));
  }
  return 0;
}
