// Profile files come from other people: whatever bytes they hold, reading them must end in a
// value or a ProfileError (or the JSON reader's own error, which loading reports as malformed
// JSON), never in a crash, a hang or another exception. Decoded records must also survive
// being written and read again unchanged.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include <nlohmann/json.hpp>

#include "profiles/Action.h"
#include "profiles/Control.h"
#include "profiles/JSONShapeScanner.h"
#include "profiles/Profile.h"
#include "profiles/ProfileError.h"
#include "profiles/Reader.h"
#include "profiles/Shortcut.h"

namespace {

using namespace brindlet;
using nlohmann::json;

template <class T, class Check>
void decodeAndCheck(const json& value, Check check) {
  std::optional<T> record;
  try {
    record = T::decode(runtime::JsonValueReader(value));
  } catch (const profiles::ProfileError&) {
    return;
  } catch (const runtime::JsonReadError&) {
    return;
  }
  try {
    check(*record);
  } catch (const profiles::ProfileError&) {
  }
  json written;
  record->encode(written);
  json reread;
  runtime::parseJson(runtime::writeJson(written), reread);
  if (!(T::decode(runtime::JsonValueReader(reread)) == *record)) std::abort();
}

void decodeRecords(const json& value) {
  decodeAndCheck<profiles::Action>(value, [](const profiles::Action& action) {
    action.validate(false);
    action.validate(true);
  });
  decodeAndCheck<profiles::Control>(value, [](const profiles::Control& c) { c.validate(); });
  decodeAndCheck<profiles::Reader>(value, [](const profiles::Reader& r) { r.validate(); });
  if (value.is_string()) {
    try {
      profiles::Shortcut::parse(value.get_ref<const std::string&>());
    } catch (const profiles::ProfileError&) {
    }
  }
}

// A whole file: a profile or exactly one ProfileError; a profile that loads is written in its
// canonical form, which loads again to the same profile and the same bytes.
void loadProfile(std::string_view bytes) {
  std::optional<profiles::Profile> profile;
  try {
    profile = profiles::Profile::load(bytes);
  } catch (const profiles::ProfileError&) {
    return;
  }
  const std::string canonical = profile->canonicalData();
  const profiles::Profile again = profiles::Profile::load(canonical);
  if (!(again == *profile) || again.canonicalData() != canonical) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  loadProfile(bytes);
  profiles::JSONShapeScanner scanner(bytes);
  try {
    scanner.scanValue();
  } catch (const profiles::ProfileError&) {
  }
  if (scanner.position() > size) std::abort();
  try {
    profiles::JSONShapeScanner::scanDocument(bytes);
  } catch (const profiles::ProfileError&) {
    return 0;
  }
  json doc;
  try {
    runtime::parseJson(bytes, doc);
  } catch (const runtime::JsonReadError&) {
    return 0;
  }
  decodeRecords(doc);
  if (doc.is_object() || doc.is_array())
    for (const auto& element : doc) decodeRecords(element);
  return 0;
}
