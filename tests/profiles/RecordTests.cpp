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

struct DecodeCase {
  std::string_view text;
  std::string_view expected;
};

TEST(Action, StrictDecoding) {
  const DecodeCase cases[] = {
      {R"({"kind":"shell","command":"ls","timeoutSeconds":2.5})", "ok"},
      {R"({"kind":"system","operation":"mute"})", R"(unknownKey("operation", type: "action"))"},
      {R"({"zz":1,"aa":2})", R"(unknownKey("aa", type: "action"))"},
      {R"({"kind":"Shortcut","keys":"q"})", R"(unknownActionKind("Shortcut"))"},
      {R"({"kind":"system","op":"reboot"})", R"(unknownSystemOp("reboot"))"},
      {R"({"kind":"system","op":"Mute"})", R"(unknownSystemOp("Mute"))"},
      {R"({"kind":"system"})", "ok"},
      {R"({"kind":"shell","command":null,"op":null})", "ok"},
      // The kind word is read before the other fields, and the fields in their order.
      {R"({"kind":"bad","command":5})", R"(unknownActionKind("bad"))"},
      {R"({"kind":"system","keys":5,"op":"reboot"})", kDecoderError},
      {R"({"command":"ls"})", kDecoderError},
      {R"({"kind":null})", kDecoderError},
      {R"({"kind":5})", kDecoderError},
      {R"({"kind":"shell","timeoutSeconds":"5"})", kDecoderError},
      {R"({"kind":"system","op":3})", kDecoderError},
      {R"(["kind"])", kDecoderError},
      {R"("shell")", kDecoderError},
  };
  for (const auto& c : cases) EXPECT_EQ(decodeOutcome<Action>(c.text), c.expected) << c.text;
}

TEST(Action, ValidationByKind) {
  struct Case {
    std::string_view text;
    bool isJog;
    std::string_view expected;
  };
  const Case cases[] = {
      {R"({"kind":"shortcut","keys":"cmd+c"})", false, "ok"},
      {R"({"kind":"shortcut","keys":"cmd+c","positive":"nope"})", false, "ok"},
      {R"({"kind":"shortcut"})", false, R"(missingField("keys", type: "shortcut action"))"},
      {R"({"kind":"shortcut","positive":"a","negative":"b"})", false,
       R"(missingField("keys", type: "shortcut action"))"},
      {R"({"kind":"shortcut","keys":""})", false, R"(invalidShortcut(""))"},
      {R"({"kind":"shortcut","keys":"Cmd+Nope"})", false, R"(invalidShortcut("Cmd+Nope"))"},
      {R"({"kind":"shortcut","positive":"up","negative":"down"})", true, "ok"},
      {R"({"kind":"shortcut","keys":"bad","positive":"up","negative":"down"})", true, "ok"},
      {R"({"kind":"shortcut","keys":"q","positive":"up"})", true,
       R"(missingField("positive and negative", type: "jog shortcut"))"},
      {R"({"kind":"shortcut","positive":"x+y","negative":"z+w"})", true,
       R"(invalidShortcut("x+y"))"},
      {R"({"kind":"shortcut","positive":"up","negative":"DOWN+"})", true,
       R"(invalidShortcut("DOWN+"))"},
      {R"({"kind":"applescript","source":""})", false, "ok"},
      {R"({"kind":"applescript"})", true, R"(missingField("source", type: "applescript action"))"},
      {R"({"kind":"shortcutsApp","name":"Focus"})", false, "ok"},
      {R"({"kind":"shortcutsApp"})", false, R"(missingField("name", type: "shortcutsApp action"))"},
      {R"({"kind":"url","url":"https://example.com/a?b=c#d"})", false, "ok"},
      {R"({"kind":"url","url":""})", false, R"(missingField("url", type: "url action"))"},
      {R"({"kind":"url","url":"not a url"})", false, R"(missingField("url", type: "url action"))"},
      {R"({"kind":"url"})", false, R"(missingField("url", type: "url action"))"},
      {R"({"kind":"shell","command":""})", false, "ok"},
      {R"({"kind":"shell"})", true, R"(missingField("command", type: "shell action"))"},
      {R"({"kind":"system","op":"lock"})", false, "ok"},
      {R"({"kind":"system"})", false, R"(missingField("op", type: "system action"))"},
  };
  for (const auto& c : cases) {
    const Action action = decoded<Action>(c.text);
    EXPECT_EQ(outcome([&] { action.validate(c.isJog); }), c.expected) << c.text;
  }
}

TEST(Control, DecodingAndRules) {
  struct Case {
    std::string_view text;
    std::string_view decoding;
    std::string_view validation;  // when decoding succeeds
  };
  const Case cases[] = {
      {R"({"kind":"jog","label":"Zoom"})", "ok", R"(missingField("action", type: "jog control"))"},
      {R"({"kind":"jog","label":"Zoom","action":{"kind":"shortcut","keys":"a","positive":"b"}})",
       "ok", R"(missingField("positive and negative", type: "jog shortcut"))"},
      {R"({"kind":"jog","label":"Zoom","action":{"kind":"shell"}})", "ok",
       R"(missingField("command", type: "shell action"))"},
      {R"({"kind":"jog","label":"Z","action":{"kind":"shortcut","positive":"=","negative":"-"}})",
       "ok", "ok"},
      {R"({"kind":"slider","label":"Vol","min":0})", "ok",
       R"(missingField("min and max", type: "slider control"))"},
      {R"({"kind":"slider","label":"Vol"})", "ok",
       R"(missingField("min and max", type: "slider control"))"},
      {R"({"kind":"slider","label":"Vol","min":5,"max":1})", "ok",
       R"(missingField("action", type: "slider control"))"},
      {R"({"kind":"slider","label":"Vol","min":0,"max":1,"action":{"kind":"shortcut"}})", "ok",
       R"(missingField("keys", type: "shortcut action"))"},
      {R"({"kind":"trackpad","label":"Pad","action":{"kind":"shell"}})", "ok", "ok"},
      {R"({"kind":"trackpad","label":""})", "ok", "ok"},
      {R"({"kind":"jog"})", kDecoderError, ""},
      {R"({"kind":"knob","label":"x"})", R"(unknownControlKind("knob"))", ""},
      {R"({"kind":"jog","label":"x","action":{"kind":"shell","operation":1}})",
       R"(unknownKey("operation", type: "action"))", ""},
      // The control's own keys are tested before anything nested in it.
      {R"({"kind":"jog","label":"x","colour":1,"action":{"bad":1}})",
       R"(unknownKey("colour", type: "control"))", ""},
      {R"({"kind":"slider","label":"x","min":"0"})", kDecoderError, ""},
      {R"({"kind":"slider","label":"x","action":[]})", kDecoderError, ""},
  };
  for (const auto& c : cases) {
    ASSERT_EQ(decodeOutcome<Control>(c.text), c.decoding) << c.text;
    if (c.decoding != "ok") continue;
    const Control control = decoded<Control>(c.text);
    EXPECT_EQ(outcome([&] { control.validate(); }), c.validation) << c.text;
  }
}

TEST(Reader, DecodingAndRules) {
  struct Case {
    std::string_view text;
    std::string_view decoding;
    std::string_view validation;
  };
  const Case cases[] = {
      {R"({"reader":"meetingTimer"})", "ok", "ok"},
      {R"({"reader":"axValue","path":"window/button"})", "ok", "ok"},
      {R"({"reader":"axValue","name":"x"})", "ok",
       R"(missingField("path", type: "axValue reader"))"},
      {R"({"reader":"logTail","lines":3})", "ok",
       R"(missingField("path", type: "logTail reader"))"},
      {R"({"reader":"logTail","path":"/tmp/x.log","lines":-2,"format":"f","startOn":"s"})", "ok",
       "ok"},
      {R"({"reader":"process","path":"/bin/x"})", "ok",
       R"(missingField("name", type: "process reader"))"},
      {R"({"reader":"process","name":""})", "ok", "ok"},
      {R"({"reader":"logTail","path":"x","lines":"6"})", kDecoderError, ""},
      {R"({"reader":"logTail","path":"x","lines":1.5})", kDecoderError, ""},
      {R"({"reader":"process","ring":{}})", R"(unknownKey("ring", type: "reader"))", ""},
      {R"({"reader":"Process"})", R"(unknownReaderKind("Process"))", ""},
      {R"({"kind":"process"})", R"(unknownKey("kind", type: "reader"))", ""},
      {R"({"name":"x"})", kDecoderError, ""},
  };
  for (const auto& c : cases) {
    ASSERT_EQ(decodeOutcome<Reader>(c.text), c.decoding) << c.text;
    if (c.decoding != "ok") continue;
    const Reader reader = decoded<Reader>(c.text);
    EXPECT_EQ(outcome([&] { reader.validate(); }), c.validation) << c.text;
  }
}

TEST(Reader, ExtraKeysAreAllowedBesideTheReadersOwn) {
  static constexpr std::string_view stateKeys[] = {"ring", "symbolWhen"};
  const runtime::JsonDocument doc(R"({"reader":"meetingTimer","ring":{"exists":"good"}})");
  EXPECT_EQ(Reader::decode(doc.reader(), stateKeys), Reader{.reader = Reader::Kind::meetingTimer});
  const runtime::JsonDocument other(R"({"reader":"meetingTimer","colour":1})");
  EXPECT_EQ(outcome([&] { Reader::decode(other.reader(), stateKeys); }),
            R"(unknownKey("colour", type: "reader"))");
}

TEST(Records, EncodingKeepsWhatWasReadAndLeavesOutWhatWasNot) {
  struct Case {
    std::string_view text;
    std::string_view written;
  };
  const Case actions[] = {
      {R"({"kind":"shell","command":"ls"})", R"({"command":"ls","kind":"shell"})"},
      {R"({"kind":"system","op":"doNotDisturb","url":null})",
       R"({"kind":"system","op":"doNotDisturb"})"},
      {R"({"kind":"shortcut","keys":"a","positive":"b","timeoutSeconds":7})",
       R"({"keys":"a","kind":"shortcut","positive":"b","timeoutSeconds":7})"},
  };
  for (const auto& c : actions) {
    EXPECT_EQ(encoded(decoded<Action>(c.text)), c.written);
    EXPECT_EQ(decoded<Action>(c.written), decoded<Action>(c.text));
  }
  const Case controls[] = {
      {R"({"kind":"slider","label":"V","min":0,"max":1.5,"action":{"kind":"system","op":"mute"}})",
       R"({"action":{"kind":"system","op":"mute"},"kind":"slider","label":"V","max":1.5,"min":0})"},
      {R"({"kind":"trackpad","label":"P"})", R"({"kind":"trackpad","label":"P"})"},
  };
  for (const auto& c : controls) EXPECT_EQ(encoded(decoded<Control>(c.text)), c.written);
  const Case readers[] = {
      {R"({"reader":"logTail","path":"p","lines":4,"startOn":"s","format":"f"})",
       R"({"format":"f","lines":4,"path":"p","reader":"logTail","startOn":"s"})"},
  };
  for (const auto& c : readers) EXPECT_EQ(encoded(decoded<Reader>(c.text)), c.written);

  // A reader writes itself flat into an object that already holds other keys.
  json state = {{"ring", {{"exists", "good"}}}};
  decoded<Reader>(R"({"reader":"process","name":"zoom"})").encode(state);
  EXPECT_EQ(runtime::writeJson(state),
            R"({"name":"zoom","reader":"process","ring":{"exists":"good"}})");
}

TEST(Records, ConvenienceValuesAndEquality) {
  EXPECT_EQ(Action::shortcut("cmd+q"), decoded<Action>(R"({"kind":"shortcut","keys":"cmd+q"})"));
  EXPECT_EQ(Action::system(Action::SystemOp::lock),
            decoded<Action>(R"({"kind":"system","op":"lock"})"));
  EXPECT_NE(Action::shortcut("cmd+q"), Action::shortcut("cmd+w"));
  EXPECT_NE((Action{.kind = Action::Kind::shell, .command = "x", .timeoutSeconds = 1.0}),
            (Action{.kind = Action::Kind::shell, .command = "x"}));
  // Canonically equivalent texts are the same text.
  EXPECT_EQ((Control{.kind = Control::Kind::trackpad, .label = "caf\xC3\xA9"}),
            (Control{.kind = Control::Kind::trackpad, .label = "cafe\xCC\x81"}));
  EXPECT_NE((Reader{.reader = Reader::Kind::process, .name = ""}),
            (Reader{.reader = Reader::Kind::process}));
}

TEST(UrlSyntax, WhatCountsAsAUrl) {
  struct Case {
    std::string_view text;
    bool valid;
  };
  const Case cases[] = {
      {"https://example.com", true},
      {"https://user:pw@example.com:8443/a/b?q=1&r=%20#top", true},
      {"http://[::1]:8080/", true},
      {"mailto:someone@example.com", true},
      {"zoommtg://zoom.us/join?confno=123", true},
      {"x-apple.systempreferences:com.apple.preference", true},
      {"relative/path", true},
      {"/absolute", true},
      {"?q", true},
      {"", false},
      {"not a url", false},
      {"https://exa mple.com", false},
      {"https://example.com/%zz", false},
      {"https://example.com/%2", false},
      {"https://example.com/#a#b", false},
      {"https://example.com:80a/", false},
      {"http://[::1/", false},
      {"http://ex[am]ple.com/", false},
      {"1http://example.com", false},
      {"https://example.com/caf\xC3\xA9", false},
      {"https://example.com/<script>", false},
      {"https://example.com/a\"b", false},
  };
  for (const auto& c : cases) EXPECT_EQ(isValidURL(c.text), c.valid) << c.text;
}

}  // namespace
}  // namespace brindlet::profiles
