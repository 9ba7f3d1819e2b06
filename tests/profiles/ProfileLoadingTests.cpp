#include <gtest/gtest.h>

#include <algorithm>
#include <nlohmann/json.hpp>
#include <set>

#include "profiles/ProfileTestSupport.h"
#include "runtime/Unicode.h"

namespace brindlet::profiles {
namespace {

namespace fs = std::filesystem;
using test::contents;
using test::fixture;
using test::loadMessage;

struct FaultyFile {
  const char* file;
  const char* message;
};

// One file per step of loading, in the order the steps run; several hold more than one fault,
// and the earliest step's is the one reported.
const FaultyFile kFaultyFiles[] = {
    {"01-empty.json", "Not valid JSON: unexpected end"},
    {"02-blanks.json", "Not valid JSON: unexpected end"},
    {"03-duplicate-and-unknown.json", "Duplicate key \"name\""},
    {"04-trailing-comma.json", "Not valid JSON: expected a string"},
    {"05-unknown-key-and-missing-layouts.json", "Unknown key \"colour\" in profile"},
    {"06-missing-layouts.json", "Not valid JSON: missing layouts"},
    {"07-schema-as-string.json", "Not valid JSON: schema: expected a number but found a string"},
    {"08-intent-case-name.json", "Unknown intent \"mute\""},
    {"09-tint-capital.json",
     "Not valid JSON: keys.a.tint: cannot read \"Blue\" as one of its words"},
    {"10-key-state-unknown-key.json", "Unknown key \"colour\" in key state"},
    {"11-author-before-keys.json", "Unknown key \"email\" in author"},
    {"12-unknown-action-kind.json", "Unknown action kind \"Shortcut\""},
    {"13-after-document.json",
     "Not valid JSON: line 1, column 245: expected the end of the data but found '{'"},
    {"14-schema-2-and-bad-id.json", "Unsupported schema 2; this app reads schema 1"},
    {"15-two-label-id-and-no-apps.json",
     "Invalid profile id \"com.example\"; use reverse-DNS like com.example.profile.zoom"},
    {"16-id-with-capital-first-label.json",
     "Invalid profile id \"Com.example.zoom\"; use reverse-DNS like com.example.profile.zoom"},
    {"17-id-ending-in-line-break.json",
     "Invalid profile id \"com.example.zoom\n\"; use reverse-DNS like com.example.profile.zoom"},
    {"18-no-apps-and-missing-layout-key.json",
     "A profile needs at least one app bundle id (or \"*\" for the default profile)"},
    {"19-regular-before-touchbar.json",
     "Layout \"regular\" uses key \"nope\", which isn't defined"},
    {"20-touchbar-missing-key.json", "Layout \"touchBar\" uses key \"gone\", which isn't defined"},
    {"21-glance-five-keys-four-lines.json", "Glance has 5 keys; at most 4"},
    {"22-glance-four-lines.json", "Glance has 4 lines; at most 3"},
    {"23-glance-control-as-key.json", "Glance uses key \"pad\", which isn't defined"},
    {"24-glance-without-readers.json", "Glance uses reader \"clock\", which isn't defined"},
    {"25-keys-b-and-a-without-action.json", "Key \"a\" has no action"},
    {"26-key10-before-key9.json", "Key \"key10\" has no action"},
    {"27-capital-id-first.json", "Can't read the shortcut \"\""},
    {"28-intent-and-release.json", "Key \"m\" has both an intent and an action; use one"},
    {"29-release-checked-after-press.json", "shell action needs \"command\""},
    {"30-key-state-reader-without-path.json", "axValue reader needs \"path\""},
    {"31-slider-without-anything.json", "slider control needs \"min and max\""},
    {"32-jog-without-action.json", "url action needs \"url\""},
    {"33-process-reader-without-name.json", "process reader needs \"name\""},
    {"34-logtail-reader-without-path.json", "logTail reader needs \"path\""},
};

// The same document with the members of every object in reverse order.
nlohmann::ordered_json reversed(const nlohmann::ordered_json& value) {
  if (value.is_array()) {
    auto out = nlohmann::ordered_json::array();
    for (const auto& element : value) out.push_back(reversed(element));
    return out;
  }
  if (!value.is_object()) return value;
  auto out = nlohmann::ordered_json::object();
  std::vector<std::string> keys;
  for (const auto& [key, element] : value.items()) keys.push_back(key);
  std::reverse(keys.begin(), keys.end());
  for (const auto& key : keys) out[key] = reversed(value.at(key));
  return out;
}

TEST(ProfileLoading, EachFaultyFileReportsItsFirstFault) {
  for (const auto& c : kFaultyFiles) {
    const std::string bytes = contents(fixture(std::string("faulty/") + c.file));
    EXPECT_EQ(loadMessage(bytes), c.message) << c.file;
    // The order of members in the file never changes which fault is reported (for the files
    // whose fault survives being read and written again).
    const auto document = nlohmann::ordered_json::parse(bytes, nullptr, false);
    if (!document.is_discarded() && loadMessage(document.dump()) == c.message) {
      EXPECT_EQ(loadMessage(reversed(document).dump()), c.message) << c.file << " reversed";
    }
  }
}

TEST(ProfileLoading, EveryFixtureFileHasItsExpectedMessage) {
  std::set<std::string> listed;
  for (const auto& c : kFaultyFiles) listed.insert(c.file);
  std::set<std::string> present;
  for (const auto& entry : fs::directory_iterator(fixture("faulty")))
    present.insert(entry.path().filename());
  EXPECT_EQ(present, listed);
}

TEST(ProfileLoading, EdgeCasesThatLoad) {
  const auto base = nlohmann::json::parse(R"({"schema":1,"id":"com.example.p","name":"N",
      "apps":["x"],"layouts":{"compact":[],"regular":[]},"keys":{},
      "controls":{"pad":{"kind":"trackpad","label":"P"}},"readers":{"t":{"reader":"meetingTimer"}}})");
  const struct {
    const char* what;
    const char* patch;  // merged into the base document
  } cases[] = {
      {"a layout listing a control twice", R"({"layouts":{"compact":["pad","pad"]}})"},
      {"a meeting key whose state lacks its path",
       R"({"keys":{"m":{"label":"M","symbol":"s","intent":"meeting.hand",
           "state":{"reader":"axValue"}}}})"},
      {"only press is checked when action is present too",
       R"({"keys":{"k":{"label":"K","symbol":"s","press":{"kind":"shortcut","keys":"a"},
           "action":{"kind":"shell"}}}})"},
  };
  for (const auto& c : cases) {
    auto document = base;
    document.merge_patch(nlohmann::json::parse(c.patch));
    EXPECT_EQ(loadMessage(document.dump()), "ok") << c.what;
  }
  // A byte-order mark before the document is passed over.
  EXPECT_EQ(loadMessage("\xEF\xBB\xBF" + base.dump()), "ok");
}

// The file is one JSON document and nothing else; integers are read as written, never through a
// rounded double; a number out of range is reported at its field; ids are matched as the rest of
// the format matches them, by canonical equivalence; and every message is UTF-8.
TEST(ProfileLoading, StrictAtTheEdges) {
  const std::string cafe = "caf\xC3\xA9", cafeDecomposed = "cafe\xCC\x81";
  const auto withKey = [](std::string_view key, std::string_view layoutId, std::string_view more) {
    return R"({"schema":1,"id":"a.b.c","name":"N","apps":["x"],"layouts":{"compact":[")" +
           std::string(layoutId) + R"("],"regular":[]},"keys":{")" + std::string(key) +
           R"(":{"label":"K","symbol":"s","action":{"kind":"shortcut","keys":"a"}}})" +
           std::string(more) + "}";
  };
  const std::string plain = withKey("k", "k", "");
  const struct {
    std::string bytes;
    std::string message;
  } cases[] = {
      {plain + std::string("\0", 1) + plain,
       "Not valid JSON: line 1, column 171: expected the end of the data but found the control "
       "character U+0000"},
      {withKey("k", "k",
               R"(,"readers":{"r":{"reader":"logTail","path":"p","lines":0.99999999999999999}})"),
       "Not valid JSON: readers.r.lines: number 0.99999999999999999 does not fit in Int"},
      {withKey(cafeDecomposed, cafe, R"(,"touchBar":[")" + cafe + R"("])"), "ok"},
      {withKey(cafe, cafe,
               R"(,"glance":{"keys":[")" + cafeDecomposed + R"("],"lines":[")" + cafe +
                   R"("]},"readers":{")" + cafeDecomposed + R"(":{"reader":"meetingTimer"}})"),
       "ok"},
      {withKey(cafe, "cafe", ""), "Layout \"compact\" uses key \"cafe\", which isn't defined"},
      {withKey("k", "k", ",\"testedAppVersion\":\"caf\xC3\""),
       "Not valid JSON: line 1, column 194: the string holds a byte that is not UTF-8"},
  };
  for (const auto& c : cases) {
    const std::string message = loadMessage(c.bytes);
    EXPECT_EQ(message, c.message) << c.bytes;
    EXPECT_TRUE(runtime::isValidUTF8(message)) << message;
  }
}

TEST(ProfileLoading, IdPattern) {
  const struct {
    std::string_view id;
    bool valid;
  } cases[] = {
      {"com.Example.Zoom-2", true}, {"com..example.zoom", false},     {"com.example.zoom.", false},
      {"com.example.zo_om", false}, {"com.ex\u00e9mple.zoom", false},
  };
  for (const auto& c : cases) EXPECT_EQ(isValidProfileID(c.id), c.valid) << c.id;
}

}  // namespace
}  // namespace brindlet::profiles
