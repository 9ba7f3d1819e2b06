#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "profiles/ProfileTestSupport.h"

namespace brindlet::profiles {
namespace {

using nlohmann::json;
using test::contents;
using test::fixture;

Profile decoded(const json& document) {
  return test::decoded<Profile>(document.dump());
}

json encoded(const Profile& profile) {
  json out;
  profile.encode(out);
  return out;
}

TEST(ProfileDocument, RoundTrips) {
  // Every field is written back, and nothing that was absent appears; null reads as absent.
  const json complete = json::parse(contents(fixture("complete.json")));
  const Profile first = decoded(complete);
  first.validate();
  EXPECT_EQ(encoded(first), complete);
  EXPECT_EQ(decoded(encoded(first)), first);
  EXPECT_EQ(first.keys.at("mute").state->ring->at("exists"), Ring::critical);
  const json minimal = json::parse(contents(fixture("minimal.json")));
  json withNulls = minimal;
  withNulls["accent"] = nullptr;
  withNulls["signature"] = nullptr;
  EXPECT_EQ(encoded(decoded(withNulls)), minimal);

  Profile other = first;
  other.readers->erase("timer");
  EXPECT_NE(other, first);
  other = first;
  other.name = "Complete e\u0301dition / test";  // the same text, decomposed
  EXPECT_EQ(other, first);
}

TEST(ProfileDocument, DecodingFaults) {
  const struct {
    const char* key;
    const char* expected;  // ProfileError's form, or "decoder" for the reader's own failures
  } keys[] = {
      {R"({"label":"L","symbol":"s","intent":"meeting.Mute"})", R"(unknownIntent("meeting.Mute"))"},
      // The intent is read before the actions and the state.
      {R"({"label":"L","symbol":"s","intent":"x","action":{"kind":"nope"}})",
       R"(unknownIntent("x"))"},
      {R"({"label":"L","symbol":"s","tint":null})", "ok"},
      {R"({"label":"L","symbol":"s","state":{"ring":{"exists":"good"}}})", "decoder"},
      {R"({"label":"L","symbol":"s","state":{"reader":"meetingTimer","ring":{"x":"Good"}}})",
       "decoder"},
      {R"({"label":"L"})", "decoder"},
  };
  for (const auto& c : keys) EXPECT_EQ(test::decodeOutcome<KeySpec>(c.key), c.expected) << c.key;

  const json base = json::parse(contents(fixture("minimal.json")));
  const struct {
    const char* patch;
    const char* expected;
  } profiles[] = {
      {R"({"colour":null})", R"(unknownKey("colour", type: "profile"))"},
      {R"({"layouts":null})", "decoder"},
      {R"({"layouts":{"compact":[],"regular":[],"wide":[]}})",
       R"(unknownKey("wide", type: "layouts"))"},
      {R"({"glance":{"lines":[],"keys":[],"size":1}})", R"(unknownKey("size", type: "glance"))"},
      {R"({"schema":1.5})", "decoder"},
      {R"({"apps":["a",1]})", "decoder"},
  };
  for (const auto& c : profiles) {
    json document = base;
    const json patch = json::parse(c.patch);
    for (const auto& [key, value] : patch.items()) document[key] = value;
    EXPECT_EQ(test::decodeOutcome<Profile>(document.dump()), c.expected) << c.patch;
  }
}

TEST(ProfileDocument, AppMatching) {
  Profile mail{.apps = {"com.apple.mail"}, .windowTitleContains = "inbox"};
  Profile any{.apps = {"*"}};
  Profile plain{.apps = {"com.apple.mail", "com.example.x"}};
  Profile turkish{.apps = {"a"}, .windowTitleContains = "I\u0307stanbul"};
  const struct {
    const Profile* profile;
    const char* app;
    std::optional<std::string> title;
    bool matches;
  } cases[] = {
      {&mail, "com.apple.mail", "INBOX", true},
      {&mail, "com.apple.mail", "Drafts", false},
      {&mail, "com.apple.mail", std::nullopt, false},
      {&mail, "com.apple.Mail", "My Inbox - Mail", false},
      {&any, "com.apple.mail", std::nullopt, false},
      {&any, "*", std::nullopt, true},
      {&plain, "com.example.x", "anything", true},
      {&plain, "com.example", std::nullopt, false},
      // Canonically equivalent titles match alike.
      {&turkish, "a", "i\u0307stanbul trip", true},
  };
  for (const auto& c : cases)
    EXPECT_EQ(c.profile->matches(c.app, c.title), c.matches)
        << c.app << " / " << c.title.value_or("(none)");
}

TEST(ProfileDocument, LayoutIdsAndPressAction) {
  const Layouts layouts{
      .compact = {"a", "b", "c", "a"}, .regular = {"r"}, .meeting = IdList{"c", "a"}};
  Layouts noMeeting = layouts;
  noMeeting.meeting.reset();
  const Layouts composed{.compact = {"caf\xC3\xA9", "b"}, .meeting = IdList{"cafe\xCC\x81"}};
  const struct {
    const Layouts* layouts;
    bool regular;
    bool inMeeting;
    IdList ids;
  } cases[] = {
      {&layouts, false, true, {"a", "c", "a"}},
      {&layouts, true, true, {}},
      {&layouts, true, false, {"r"}},
      {&noMeeting, false, true, {"a", "b", "c", "a"}},
      {&composed, false, true, {"caf\xC3\xA9"}},
  };
  for (const auto& c : cases) EXPECT_EQ(c.layouts->ids(c.regular, c.inMeeting), c.ids);

  const Action p = Action::shortcut("a");
  const Action r = Action::system(Action::SystemOp::mute);
  EXPECT_EQ((KeySpec{.action = r, .press = p}.pressAction()), p);
  EXPECT_EQ((KeySpec{.action = r}.pressAction()), r);
  EXPECT_FALSE((KeySpec{.release = r}.pressAction()));
}

}  // namespace
}  // namespace brindlet::profiles
