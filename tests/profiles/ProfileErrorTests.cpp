#include <gtest/gtest.h>

#include "profiles/ProfileError.h"

namespace brindlet::profiles {
namespace {

using E = ProfileError;

TEST(ProfileError, EveryMessageAndForm) {
  struct Case {
    E error;
    std::string_view message;
    std::string_view form;
  };
  const Case cases[] = {
      {E::malformedJSON("unexpected end"), "Not valid JSON: unexpected end",
       R"(malformedJSON("unexpected end"))"},
      {E::unknownKey("colour", "key state"), R"(Unknown key "colour" in key state)",
       R"(unknownKey("colour", type: "key state"))"},
      {E::duplicateKey("a"), R"(Duplicate key "a")", R"(duplicateKey("a"))"},
      {E::unsupportedSchema(0), "Unsupported schema 0; this app reads schema 1",
       "unsupportedSchema(0)"},
      {E::unsupportedSchema(-3), "Unsupported schema -3; this app reads schema 1",
       "unsupportedSchema(-3)"},
      {E::invalidID("Com.x"),
       R"(Invalid profile id "Com.x"; use reverse-DNS like com.example.profile.zoom)",
       R"(invalidID("Com.x"))"},
      {E::layoutReferencesMissingKey("compact", "k9"),
       R"(Layout "compact" uses key "k9", which isn't defined)",
       R"(layoutReferencesMissingKey(layout: "compact", key: "k9"))"},
      {E::glanceTooManyKeys(5), "Glance has 5 keys; at most 4", "glanceTooManyKeys(5)"},
      {E::glanceTooManyLines(4), "Glance has 4 lines; at most 3", "glanceTooManyLines(4)"},
      {E::glanceReferencesMissingKey("k"), R"(Glance uses key "k", which isn't defined)",
       R"(glanceReferencesMissingKey("k"))"},
      {E::glanceReferencesMissingReader("r"), R"(Glance uses reader "r", which isn't defined)",
       R"(glanceReferencesMissingReader("r"))"},
      {E::unknownActionKind("Shortcut"), R"(Unknown action kind "Shortcut")",
       R"(unknownActionKind("Shortcut"))"},
      {E::unknownReaderKind("x"), R"(Unknown reader kind "x")", R"(unknownReaderKind("x"))"},
      {E::unknownControlKind("knob"), R"(Unknown control kind "knob")",
       R"(unknownControlKind("knob"))"},
      {E::unknownSystemOp("reboot"), R"(Unknown system op "reboot")",
       R"(unknownSystemOp("reboot"))"},
      {E::invalidShortcut("CMD+"), R"(Can't read the shortcut "CMD+")",
       R"(invalidShortcut("CMD+"))"},
      {E::missingField("path", "axValue reader"), R"(axValue reader needs "path")",
       R"(missingField("path", type: "axValue reader"))"},
      {E::keyWithoutAction("a"), R"(Key "a" has no action)", R"(keyWithoutAction("a"))"},
      {E::unknownIntent("mute"), R"(Unknown intent "mute")", R"(unknownIntent("mute"))"},
      {E::intentAndAction("m"), R"(Key "m" has both an intent and an action; use one)",
       R"(intentAndAction("m"))"},
      {E::noApps(),
       R"(A profile needs at least one app bundle id (or "*" for the default profile))", "noApps"},
      {E::invalidSignature(), "The signature doesn't match the profile", "invalidSignature"},
      {E::unsigned_(), "The profile isn't signed", "unsigned"},
      // Payloads stand unchanged in the message, a double quote included; the form escapes it.
      {E::keyWithoutAction("a\"b"), "Key \"a\"b\" has no action", R"(keyWithoutAction("a\"b"))"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(c.error.description(), c.message);
    EXPECT_EQ(c.error.text(), c.form);
    EXPECT_STREQ(c.error.what(), c.error.text().c_str());
  }
}

TEST(ProfileError, Equality) {
  struct Case {
    E a, b;
    bool equal;
  };
  const Case cases[] = {
      {E::missingField("action", "jog control"), E::missingField("action", "jog control"), true},
      {E::missingField("action", "jog control"), E::missingField("action", "slider control"),
       false},
      {E::noApps(), E::noApps(), true},
      {E::noApps(), E::unsigned_(), false},
      // Same payload text, different cases.
      {E::unknownReaderKind("x"), E::unknownControlKind("x"), false},
      {E::glanceTooManyKeys(5), E::glanceTooManyLines(5), false},
      // Payloads that would run together in the message stay apart.
      {E::unknownKey("a\" in b", "c"), E::unknownKey("a", "b\" in c"), false},
      // Canonically equivalent texts are equal: precomposed é and e + combining acute.
      {E::duplicateKey("caf\xC3\xA9"), E::duplicateKey("cafe\xCC\x81"), true},
  };
  for (const auto& c : cases) EXPECT_EQ(c.a == c.b, c.equal) << c.a.text() << " / " << c.b.text();
}

}  // namespace
}  // namespace brindlet::profiles
