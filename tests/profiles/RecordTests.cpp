#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "profiles/Action.h"
#include "profiles/Control.h"
#include "profiles/ProfileError.h"
#include "profiles/ProfileTestSupport.h"
#include "profiles/Reader.h"
#include "profiles/UrlSyntax.h"

namespace brindlet::profiles {
namespace {

using nlohmann::json;
using test::decoded;
using test::decodeOutcome;
using test::outcome;

constexpr std::string_view kDecoderError = "decoder";

template <class T>
std::string encoded(const T& value) {
  json out;
  value.encode(out);
  return runtime::writeJson(out);
}

// A record's text, what decoding it gives, and (when it decodes) what validating it gives.
struct Case {
  std::string_view text;
  std::string_view decoding;
  std::string_view validation = "";
};

template <class T, class Validate>
void check(const Case& c, Validate validate) {
  ASSERT_EQ(decodeOutcome<T>(c.text), c.decoding) << c.text;
  if (c.decoding != "ok") return;
  const T record = decoded<T>(c.text);
  EXPECT_EQ(outcome([&] { validate(record); }), c.validation) << c.text;
}

TEST(Action, DecodingAndValidation) {
  const Case cases[] = {
      {R"({"kind":"shell","command":"ls","timeoutSeconds":2.5})", "ok", "ok"},
      {R"({"kind":"system","operation":"mute"})", R"(unknownKey("operation", type: "action"))"},
      {R"({"zz":1,"aa":2})", R"(unknownKey("aa", type: "action"))"},
      {R"({"kind":"system","op":"Mute"})", R"(unknownSystemOp("Mute"))"},
      // The kind word is read before the other fields, and the fields in their order.
      {R"({"kind":"bad","command":5})", R"(unknownActionKind("bad"))"},
      {R"({"kind":"system","keys":5,"op":"reboot"})", kDecoderError},
      {R"({"command":"ls"})", kDecoderError},
      {R"({"kind":"shell","timeoutSeconds":"5"})", kDecoderError},
      {R"(["kind"])", kDecoderError},
      {R"({"kind":"shortcut","keys":"cmd+c","positive":"nope"})", "ok", "ok"},
      {R"({"kind":"shortcut","positive":"a","negative":"b"})", "ok",
       R"(missingField("keys", type: "shortcut action"))"},
      {R"({"kind":"shortcut","keys":"Cmd+Nope"})", "ok", R"(invalidShortcut("Cmd+Nope"))"},
      {R"({"kind":"applescript"})", "ok", R"(missingField("source", type: "applescript action"))"},
      {R"({"kind":"shortcutsApp"})", "ok", R"(missingField("name", type: "shortcutsApp action"))"},
      {R"({"kind":"url","url":"not a url"})", "ok", R"(missingField("url", type: "url action"))"},
      {R"({"kind":"shell","command":""})", "ok", "ok"},
      {R"({"kind":"system"})", "ok", R"(missingField("op", type: "system action"))"},
  };
  for (const auto& c : cases) check<Action>(c, [](const Action& a) { a.validate(false); });
  // A jog's shortcut needs both directions and reads only them.
  const Case jogs[] = {
      {R"({"kind":"shortcut","keys":"bad","positive":"up","negative":"down"})", "ok", "ok"},
      {R"({"kind":"shortcut","keys":"q","positive":"up"})", "ok",
       R"(missingField("positive and negative", type: "jog shortcut"))"},
      {R"({"kind":"shortcut","positive":"up","negative":"DOWN+"})", "ok",
       R"(invalidShortcut("DOWN+"))"},
      {R"({"kind":"shell"})", "ok", R"(missingField("command", type: "shell action"))"},
  };
  for (const auto& c : jogs) check<Action>(c, [](const Action& a) { a.validate(true); });
}

TEST(Control, DecodingAndValidation) {
  const Case cases[] = {
      {R"({"kind":"jog","label":"Zoom"})", "ok", R"(missingField("action", type: "jog control"))"},
      {R"({"kind":"jog","label":"Zoom","action":{"kind":"shortcut","keys":"a","positive":"b"}})",
       "ok", R"(missingField("positive and negative", type: "jog shortcut"))"},
      {R"({"kind":"jog","label":"Z","action":{"kind":"shortcut","positive":"=","negative":"-"}})",
       "ok", "ok"},
      {R"({"kind":"slider","label":"Vol","min":0})", "ok",
       R"(missingField("min and max", type: "slider control"))"},
      {R"({"kind":"slider","label":"Vol","min":5,"max":1})", "ok",
       R"(missingField("action", type: "slider control"))"},
      {R"({"kind":"slider","label":"Vol","min":0,"max":1,"action":{"kind":"shortcut"}})", "ok",
       R"(missingField("keys", type: "shortcut action"))"},
      {R"({"kind":"trackpad","label":""})", "ok", "ok"},
      {R"({"kind":"jog"})", kDecoderError},
      {R"({"kind":"knob","label":"x"})", R"(unknownControlKind("knob"))"},
      // The control's own keys are tested before anything nested in it.
      {R"({"kind":"jog","label":"x","colour":1,"action":{"bad":1}})",
       R"(unknownKey("colour", type: "control"))"},
      {R"({"kind":"slider","label":"x","min":"0"})", kDecoderError},
  };
  for (const auto& c : cases) check<Control>(c, [](const Control& r) { r.validate(); });
}

TEST(Reader, DecodingAndValidation) {
  const Case cases[] = {
      {R"({"reader":"logTail","path":"/tmp/x.log","lines":-2,"format":"f","startOn":"s"})", "ok",
       "ok"},
      {R"({"reader":"logTail","path":"x","lines":1.5})", kDecoderError},
      {R"({"reader":"Process"})", R"(unknownReaderKind("Process"))"},
      {R"({"kind":"process"})", R"(unknownKey("kind", type: "reader"))"},
  };
  for (const auto& c : cases) check<Reader>(c, [](const Reader& r) { r.validate(); });
  // A key's state holds the reader's keys and its own side by side.
  static constexpr std::string_view stateKeys[] = {"ring", "symbolWhen"};
  const runtime::JsonDocument doc(R"({"reader":"meetingTimer","ring":{"exists":"good"}})");
  EXPECT_EQ(Reader::decode(doc.reader(), stateKeys), Reader{.reader = Reader::Kind::meetingTimer});
  const runtime::JsonDocument other(R"({"reader":"meetingTimer","colour":1})");
  EXPECT_EQ(outcome([&] { Reader::decode(other.reader(), stateKeys); }),
            R"(unknownKey("colour", type: "reader"))");
}

TEST(Records, EncodingKeepsWhatWasReadAndLeavesOutWhatWasNot) {
  EXPECT_EQ(encoded(decoded<Action>(R"({"kind":"system","op":"doNotDisturb","url":null})")),
            R"({"kind":"system","op":"doNotDisturb"})");
  EXPECT_EQ(encoded(decoded<Control>(
                R"({"kind":"slider","label":"V","min":0,"max":1.5,"action":{"kind":"shell"}})")),
            R"({"action":{"kind":"shell"},"kind":"slider","label":"V","max":1.5,"min":0})");
  // A reader writes itself flat into an object that already holds other keys.
  json state = {{"ring", {{"exists", "good"}}}};
  decoded<Reader>(R"({"reader":"process","name":"zoom"})").encode(state);
  EXPECT_EQ(runtime::writeJson(state),
            R"({"name":"zoom","reader":"process","ring":{"exists":"good"}})");
  // Canonically equivalent texts are the same text; an empty text is not an absent one.
  EXPECT_EQ((Control{.kind = Control::Kind::trackpad, .label = "caf\xC3\xA9"}),
            (Control{.kind = Control::Kind::trackpad, .label = "cafe\xCC\x81"}));
  EXPECT_NE((Reader{.reader = Reader::Kind::process, .name = ""}),
            (Reader{.reader = Reader::Kind::process}));
}

// Loading's fixtures show most messages; these are the ones no file reaches.
TEST(ProfileError, MessagesFormsAndEquality) {
  using E = ProfileError;
  const struct {
    E error;
    std::string_view message;
    std::string_view form;
  } cases[] = {
      {E::unsupportedSchema(-3), "Unsupported schema -3; this app reads schema 1",
       "unsupportedSchema(-3)"},
      {E::unknownSystemOp("reboot"), R"(Unknown system op "reboot")",
       R"(unknownSystemOp("reboot"))"},
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
  EXPECT_NE(E::unknownReaderKind("x"), E::unknownControlKind("x"));
  EXPECT_NE(E::glanceTooManyKeys(5), E::glanceTooManyLines(5));
  EXPECT_NE(E::unknownKey("a\" in b", "c"), E::unknownKey("a", "b\" in c"));
  EXPECT_EQ(E::duplicateKey("caf\xC3\xA9"), E::duplicateKey("cafe\xCC\x81"));
}

TEST(UrlSyntax, WhatCountsAsAUrl) {
  const struct {
    std::string_view text;
    bool valid;
  } cases[] = {
      {"https://user:pw@example.com:8443/a/b?q=1&r=%20#top", true},
      {"http://[::1]:8080/", true},
      {"x-apple.systempreferences:com.apple.preference", true},
      {"relative/path", true},
      {"?q", true},
      {"", false},
      {"https://exa mple.com", false},
      {"https://example.com/%2", false},
      {"https://example.com/#a#b", false},
      {"https://example.com:80a/", false},
      {"http://[::1/", false},
      {"1http://example.com", false},
      {"https://example.com/caf\xC3\xA9", false},
      {"https://example.com/a\"b", false},
  };
  for (const auto& c : cases) EXPECT_EQ(isValidURL(c.text), c.valid) << c.text;
}

}  // namespace
}  // namespace brindlet::profiles
