#include "profiles/Profile.h"

#include <algorithm>
#include <unordered_set>
#include <vector>

#include "profiles/JSONShapeScanner.h"
#include "profiles/ProfileError.h"
#include "runtime/Unicode.h"

namespace brindlet::profiles {
namespace {

// The entries of a map in ascending order of their ids as texts: code-point order, with
// canonically equivalent ids side by side.
template <class T>
std::vector<const std::pair<const std::string, T>*> inIdOrder(const std::map<std::string, T>& map) {
  std::vector<const std::pair<const std::string, T>*> entries;
  entries.reserve(map.size());
  for (const auto& entry : map) entries.push_back(&entry);
  std::stable_sort(entries.begin(), entries.end(), [](const auto* a, const auto* b) {
    return runtime::normalizedNFC(a->first) < runtime::normalizedNFC(b->first);
  });
  return entries;
}

// Ids as the references to them are matched: by canonical equivalence, as keys are told apart
// everywhere else in the format.
using IdSet = std::unordered_set<std::string_view, runtime::CanonicalHash, runtime::CanonicalEqual>;

template <class T>
void addIds(IdSet& ids, const std::map<std::string, T>& map) {
  for (const auto& entry : map) ids.insert(entry.first);
}

template <class T>
void addIds(IdSet& ids, const std::optional<std::map<std::string, T>>& map) {
  if (map) addIds(ids, *map);
}

bool isLabelCharacter(char c, bool upperAllowed) {
  return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
         (upperAllowed && c >= 'A' && c <= 'Z');
}

}  // namespace

bool isValidProfileID(std::string_view id) {
  // Written out rather than as a regular expression: a pattern's "$" would also accept an id
  // that ends in a line break.
  std::size_t labels = 0;
  std::size_t start = 0;
  while (true) {
    const std::size_t dot = std::min(id.find('.', start), id.size());
    const std::string_view label = id.substr(start, dot - start);
    if (label.empty()) return false;
    const bool first = labels == 0;
    if (!std::all_of(label.begin(), label.end(),
                     [first](char c) { return isLabelCharacter(c, !first); }))
      return false;
    ++labels;
    if (dot == id.size()) break;
    start = dot + 1;
  }
  return labels >= 3;
}

Profile Profile::load(std::string_view bytes) {
  JSONShapeScanner::scanDocument(bytes);
  Profile profile;
  try {
    const runtime::JsonDocument document(bytes);
    profile = decode(document.reader());
  } catch (const runtime::JsonReadError& e) {
    throw ProfileError::malformedJSON(e.text());
  }
  profile.validate();
  return profile;
}

void Profile::validate() const {
  if (schema != profiles::schema) throw ProfileError::unsupportedSchema(schema);
  if (!isValidProfileID(id)) throw ProfileError::invalidID(id);
  if (apps.empty()) throw ProfileError::noApps();
  validateLayouts();
  validateGlance();
  validateKeys();
  validateControls();
  if (readers)
    for (const auto* entry : inIdOrder(*readers)) entry->second.validate();
}

void Profile::validateLayouts() const {
  IdSet defined;
  addIds(defined, keys);
  addIds(defined, controls);
  const auto check = [&defined](std::string_view layout, const IdList& ids) {
    for (const auto& id : ids)
      if (!defined.contains(id))
        throw ProfileError::layoutReferencesMissingKey(std::string(layout), id);
  };
  check("compact", layouts.compact);
  check("regular", layouts.regular);
  if (layouts.meeting) check("meeting", *layouts.meeting);
  if (touchBar) check("touchBar", *touchBar);
}

void Profile::validateGlance() const {
  if (!glance) return;
  if (glance->keys.size() > Glance::maxKeys)
    throw ProfileError::glanceTooManyKeys(static_cast<std::int64_t>(glance->keys.size()));
  if (glance->lines.size() > Glance::maxLines)
    throw ProfileError::glanceTooManyLines(static_cast<std::int64_t>(glance->lines.size()));
  IdSet keyIds;
  addIds(keyIds, keys);
  for (const auto& key : glance->keys)
    if (!keyIds.contains(key)) throw ProfileError::glanceReferencesMissingKey(key);
  IdSet readerIds;
  addIds(readerIds, readers);
  for (const auto& line : glance->lines)
    if (!readerIds.contains(line)) throw ProfileError::glanceReferencesMissingReader(line);
}

void Profile::validateKeys() const {
  for (const auto* entry : inIdOrder(keys)) {
    const auto& [id, key] = *entry;
    if (key.intent) {
      if (key.press || key.action || key.release) throw ProfileError::intentAndAction(id);
      continue;
    }
    const auto& primary = key.pressAction();
    if (!primary) throw ProfileError::keyWithoutAction(id);
    primary->validate(false);
    if (key.release) key.release->validate(false);
    if (key.state) key.state->reader.validate();
  }
}

void Profile::validateControls() const {
  if (!controls) return;
  for (const auto* entry : inIdOrder(*controls)) entry->second.validate();
}

}  // namespace brindlet::profiles
