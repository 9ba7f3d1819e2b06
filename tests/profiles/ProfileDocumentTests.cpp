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

TEST(ProfileDocument, CompleteProfileRoundTrips) {
  const json original = json::parse(contents(fixture("complete.json")));
  const Profile first = decoded(original);
  first.validate();
  // Every field is written back, and nothing that was absent appears.
  EXPECT_EQ(encoded(first), original);
  const Profile second = decoded(encoded(first));
  EXPECT_EQ(second, first);
  EXPECT_EQ(second.keys.at("shell").state->reader.startOn, "start");
  EXPECT_EQ(second.controls->at("vol").min, -1.5);
  EXPECT_EQ(second.keys.at("mute").state->ring->at("exists"), Ring::critical);
}

TEST(ProfileDocument, AbsentFieldsStayAbsent) {
  const json original = json::parse(contents(fixture("minimal.json")));
  const Profile profile = decoded(original);
  EXPECT_FALSE(profile.signature || profile.author || profile.accent || profile.glance ||
               profile.touchBar || profile.controls || profile.readers ||
               profile.windowTitleContains || profile.testedAppVersion || profile.layouts.meeting);
  EXPECT_EQ(encoded(profile), original);
  // Null reads as absent and is never written back.
  json withNulls = original;
  withNulls["accent"] = nullptr;
  withNulls["signature"] = nullptr;
  EXPECT_EQ(encoded(decoded(withNulls)), original);
}

TEST(ProfileDocument, KeyStateIsOneFlatObject) {
  const json state = {{"reader", "meetingTimer"}, {"ring", {{"exists", "good"}}}};
  const json document = {
      {"label", "T"}, {"symbol", "timer"}, {"intent", "meeting.leave"}, {"state", state}};
  const KeySpec key = test::decoded<KeySpec>(document.dump());
  EXPECT_EQ(key.intent, MeetingIntent::leave);
  EXPECT_EQ(key.state->reader.reader, Reader::Kind::meetingTimer);
  EXPECT_FALSE(key.state->symbolWhen);
  json out;
  key.encode(out);
  EXPECT_EQ(out["state"], state);
}

TEST(ProfileDocument, KeyDecodingFaults) {
  const struct {
    const char* key;
    const char* expected;  // ProfileError's form, or "decoder" for the reader's own failures
  } cases[] = {
      {R"({"label":"L","symbol":"s","intent":"meeting.mute"})", "ok"},
      {R"({"label":"L","symbol":"s","intent":"mute"})", R"(unknownIntent("mute"))"},
      {R"({"label":"L","symbol":"s","intent":"meeting.Mute"})", R"(unknownIntent("meeting.Mute"))"},
      // The intent is read before the actions and the state.
      {R"({"label":"L","symbol":"s","intent":"x","action":{"kind":"nope"}})",
       R"(unknownIntent("x"))"},
      {R"({"label":"L","symbol":"s","tint":"Blue"})", "decoder"},
      {R"({"label":"L","symbol":"s","tint":null})", "ok"},
      {R"({"label":"L","symbol":"s","state":{"reader":"meetingTimer","colour":1}})",
       R"(unknownKey("colour", type: "key state"))"},
      {R"({"label":"L","symbol":"s","state":{"ring":{"exists":"good"}}})", "decoder"},
      {R"({"label":"L","symbol":"s","state":{"reader":"meetingTimer","ring":{"x":"Good"}}})",
       "decoder"},
      {R"({"label":"L","symbol":"s","state":{"reader":"meetingTimer","symbolWhen":{"x":1}}})",
       "decoder"},
      {R"({"label":"L","symbol":"s","state":{"reader":"clock"}})", R"(unknownReaderKind("clock"))"},
      {R"({"label":"L"})", "decoder"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(test::decodeOutcome<KeySpec>(c.key), c.expected) << c.key;
  }
}

TEST(ProfileDocument, ProfileLevelDecoding) {
  const json base = json::parse(contents(fixture("minimal.json")));
  const struct {
    const char* patch;
    const char* expected;
  } cases[] = {
      {R"({"accent":null})", "ok"},
      {R"({"colour":null})", R"(unknownKey("colour", type: "profile"))"},
      {R"({"layouts":null})", "decoder"},
      {R"({"layouts":{"compact":[],"regular":[],"wide":[]}})",
       R"(unknownKey("wide", type: "layouts"))"},
      {R"({"glance":{"lines":[],"keys":[],"size":1}})", R"(unknownKey("size", type: "glance"))"},
      {R"({"author":{"key":"x"}})", "decoder"},
      {R"({"schema":1.5})", "decoder"},
      {R"({"keys":{"a":null}})", "decoder"},
      {R"({"apps":["a",1]})", "decoder"},
  };
  for (const auto& c : cases) {
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
      {&mail, "com.apple.mail", "My Inbox - Mail", true},
      {&mail, "com.apple.mail", "INBOX", true},
      {&mail, "com.apple.mail", "Drafts", false},
      {&mail, "com.apple.mail", std::nullopt, false},
      {&mail, "com.apple.Mail", "My Inbox - Mail", false},
      {&any, "com.apple.mail", std::nullopt, false},
      {&any, "*", std::nullopt, true},
      {&plain, "com.example.x", std::nullopt, true},
      {&plain, "com.example.x", "anything", true},
      {&plain, "com.example", std::nullopt, false},
      // Canonically equivalent titles match alike.
      {&turkish, "a", "i\u0307stanbul trip", true},
  };
  for (const auto& c : cases)
    EXPECT_EQ(c.profile->matches(c.app, c.title), c.matches)
        << c.app << " / " << c.title.value_or("(none)");
}

TEST(ProfileDocument, LayoutIds) {
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
      {&layouts, false, false, {"a", "b", "c", "a"}},
      {&layouts, true, true, {}},
      {&layouts, true, false, {"r"}},
      {&noMeeting, false, true, {"a", "b", "c", "a"}},
      {&composed, false, true, {"caf\xC3\xA9"}},
  };
  for (const auto& c : cases) EXPECT_EQ(c.layouts->ids(c.regular, c.inMeeting), c.ids);
}

TEST(ProfileDocument, PressActionAndEquality) {
  const Action p = Action::shortcut("a");
  const Action r = Action::system(Action::SystemOp::mute);
  EXPECT_EQ((KeySpec{.action = r, .press = p}.pressAction()), p);
  EXPECT_EQ((KeySpec{.action = r}.pressAction()), r);
  EXPECT_FALSE((KeySpec{.release = r}.pressAction()));

  const Profile base = decoded(json::parse(contents(fixture("complete.json"))));
  Profile other = base;
  other.testedAppVersion = "5.17.2";
  EXPECT_NE(other, base);
  other = base;
  other.author->name = "Eve";
  EXPECT_NE(other, base);
  other = base;
  other.readers->erase("timer");
  EXPECT_NE(other, base);
  other = base;
  other.name = "Complete e\u0301dition / test";  // the same text, decomposed
  EXPECT_EQ(other, base);
}

}  // namespace
}  // namespace brindlet::profiles
