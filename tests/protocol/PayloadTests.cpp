#include <gtest/gtest.h>

#include <cmath>
#include <nlohmann/json.hpp>

#include "ProtocolTestSupport.h"
#include "protocol/Frame.h"
#include "protocol/JSONValue.h"
#include "runtime/Json.h"

namespace brindlet::protocol {
namespace {

using testing::decodeError;
using testing::invalid;

struct ValidationCase {
  std::string json;
  std::string error;  // empty: accepted
};

// Every rule of every payload, through the receiving side's decode.
TEST(Validation, RulesAndReasons) {
  const std::string pair = invalid("pair", "code must be 6 digits");
  const std::string psk = invalid("pairOK", "psk must be 32 bytes");
  const std::string scale = invalid("pane", "scale must be 2 or 3");
  const std::string size = invalid("pane", "w and h must be finite and non-negative");
  const std::string xy = invalid("touch", "x and y must be in 0...1");
  const std::string pressure = invalid("touch", "pressure must be in 0...1");
  const std::string text = invalid("text", "text must be 1\u20131024 UTF-16 units");
  const std::string value = invalid("deckAction", "value is required when phase is value");
  const std::string lines = invalid("glance", "at most 3 lines");
  const std::string keys = invalid("glance", "at most 4 keys");
  const std::string a1025(1025, 'a');
  std::string emoji512, emoji513;
  for (int i = 0; i < 512; ++i) emoji512 += "\xF0\x9F\x98\x80";
  emoji513 = emoji512 + "\xF0\x9F\x98\x80";
  const std::string b32 = R"("AAECAwQFBgcICQoLDA0ODxAREhMUFRYXGBkaGxwdHh8=")";
  const std::string b31 = R"("AAECAwQFBgcICQoLDA0ODxAREhMUFRYXGBkaGxwdHg==")";

  const auto paneJson = [](std::string_view w, std::string_view scale) {
    return R"({"id":1,"t":"pane","h":1,"orientation":"portrait","posture":"closed","mode":"monitor","w":)" +
           std::string(w) + R"(,"scale":)" + std::string(scale) + "}";
  };
  const auto touchJson = [](std::string_view x, std::string_view y, std::string_view extra) {
    return R"({"id":1,"t":"touch","phase":"began","button":"left","pointer":"pencil","x":)" +
           std::string(x) + R"(,"y":)" + std::string(y) + std::string(extra) + "}";
  };
  const auto textJson = [](const std::string& t) {
    return R"({"id":1,"t":"text","text":")" + t + R"("})";
  };
  const auto glanceJson = [](int nLines, int nKeys) {
    std::string l, k;
    for (int i = 0; i < nLines; ++i) l += std::string(i ? "," : "") + "\"l\"";
    for (int i = 0; i < nKeys; ++i) k += std::string(i ? "," : "") + "\"k\"";
    return R"({"id":1,"t":"glance","appName":"a","symbol":"s","lines":[)" + l + R"(],"keys":[)" +
           k + "]}";
  };
  const auto actionJson = [](std::string_view verb, std::string_view extra) {
    return R"({"id":1,"t":"agentAction","agent":"","verb":")" + std::string(verb) + "\"" +
           std::string(extra) + "}";
  };

  const std::vector<ValidationCase> cases = {
      // pair: six ASCII digits and nothing else
      {R"({"id":1,"t":"pair","code":"123456"})", ""},
      {R"({"id":1,"t":"pair","code":"12345"})", pair},
      {R"({"id":1,"t":"pair","code":"123456 "})", pair},
      {"{\"id\":1,\"t\":\"pair\",\"code\":\"12345\xEF\xBC\x91\"}", pair},  // full-width one
      {"{\"id\":1,\"t\":\"pair\",\"code\":\"12345"
       "6\xCC\x81\"}",
       pair},  // digit + combining mark
      // pairOK: exactly 32 key bytes
      {R"({"id":1,"t":"pairOK","psk":)" + b32 + "}", ""},
      {R"({"id":1,"t":"pairOK","psk":)" + b31 + "}", psk},
      // pane: scale first, then sizes
      {paneJson("-5", "1"), scale},
      {paneJson("-5", "3"), size},
      {paneJson("-0", "2"), ""},
      {paneJson("1", "4"), scale},
      {paneJson("-0.0001", "2"), size},
      // touch: position first, then pressure
      {touchJson("0", "1", ""), ""},
      {touchJson("1.0000001", "0", ""), xy},
      {touchJson("0", "0", R"(,"pressure":1)"), ""},
      {touchJson("0", "0", R"(,"pressure":1.5)"), pressure},
      {touchJson("2", "0", R"(,"pressure":5)"), xy},
      {touchJson("0", "0", R"(,"pressure":null)"), ""},
      // text: 1 to 1024 UTF-16 units
      {textJson(""), text},
      {textJson(a1025), text},
      {textJson(emoji512), ""},
      {textJson(emoji513), text},
      {textJson(std::string(1023, 'a') + "e\xCC\x81"), text},  // the accent counts
      // deckAction: value phase needs a value
      {R"({"id":1,"t":"deckAction","profile":"p","key":"k","phase":"value"})", value},
      {R"({"id":1,"t":"deckAction","profile":"p","key":"k","phase":"value","value":0})", ""},
      // glance: lines first, then keys
      {glanceJson(4, 9), lines},
      {glanceJson(3, 5), keys},
      {glanceJson(3, 4), ""},
      // agentAction: the field each verb needs
      {actionJson("deny", R"(,"request":"")"), invalid("agentAction", "deny needs the request id")},
      {actionJson("alwaysAllow", ""), invalid("agentAction", "alwaysAllow needs the request id")},
      {actionJson("approve", R"(,"request":"r")"), ""},
      {actionJson("reply", R"(,"text":"")"), invalid("agentAction", "reply needs text")},
      {actionJson("reply", R"(,"text":" ")"), ""},
      {actionJson("jump", ""), ""},
      // no rules: anything that decodes passes
      {R"({"id":1,"t":"displayReady","w":-1,"h":-1,"scale":9,"displayID":0,"codec":"h264","fps":0})",
       ""},
      {R"({"id":1,"t":"bye","reason":""})", ""},
  };
  for (const auto& c : cases) {
    const std::string got = decodeError(c.json);
    if (c.error.empty()) {
      EXPECT_EQ(got.rfind("accepted as ", 0), 0u) << c.json << " -> " << got;
    } else {
      EXPECT_EQ(got, c.error) << c.json;
    }
  }
}

TEST(Hello, CheckVersion) {
  struct Case {
    std::int64_t proto;
    std::set<std::int64_t> supported;
    std::optional<std::vector<std::int64_t>> refusedWith;
  };
  const Case cases[] = {
      {1, {1}, std::nullopt},
      {2, {1}, std::vector<std::int64_t>{1}},
      {5, {3, 1, 2}, std::vector<std::int64_t>{1, 2, 3}},
      {1, {}, std::vector<std::int64_t>{}},
  };
  for (const auto& c : cases) {
    Hello hello{c.proto, "a", "d", "n", {}, {}};
    if (!c.refusedWith) {
      EXPECT_EQ(hello.checkVersion(c.supported), c.proto);
      continue;
    }
    try {
      hello.checkVersion(c.supported);
      ADD_FAILURE() << c.proto;
    } catch (const ProtocolError& e) {
      EXPECT_EQ(e, ProtocolError::versionMismatch(c.proto, *c.refusedWith));
    }
  }
}

TEST(Payloads, OptionalFieldsAbsentMissingOrNull) {
  const auto stats = ControlEnvelope::decode(
      R"({"id":9,"t":"stats","rttMs":1,"fps":2,"droppedFrames":3,"bitrateKbps":4,"decodeMs":null})");
  EXPECT_FALSE(stats.message.as<Stats>()->decodeMs);
  EXPECT_EQ(stats.encodedJSON().find("decodeMs"), std::string::npos);

  const auto hello = ControlEnvelope::decode(
      R"({"id":1,"t":"hello","proto":1,"app":"a","device":"d","name":"n","caps":["hinge","","foo"]})");
  EXPECT_FALSE(hello.message.as<Hello>()->uid);
  EXPECT_EQ(hello.message.as<Hello>()->caps,
            (std::vector<Capability>{Capability::hinge, Capability{""}, Capability{"foo"}}));

  const auto meeting = ControlEnvelope::decode(R"({"id":7,"t":"meetingDeck","profile":null})");
  EXPECT_EQ(meeting.message, ControlMessage(MeetingDeck{}));
  // An optional JSON value holding null is written as null and read back as absent.
  MeetingDeck withNull;
  withNull.profile = JSONValue();
  EXPECT_EQ(ControlEnvelope(7, withNull).encodedJSON(),
            R"({"id":7,"profile":null,"t":"meetingDeck"})");

  const auto card = ControlEnvelope::decode(
      R"({"id":1,"t":"agentBoard","agents":[{"id":"a","vendor":"v","title":"t","state":"idle","detail":"d","since":1,"canJump":false,"request":null}]})");
  const AgentCard& c = card.message.as<AgentBoard>()->agents.at(0);
  EXPECT_FALSE(c.request);
  EXPECT_FALSE(c.branch);
  EXPECT_FALSE(c.recent);
  EXPECT_EQ(ControlEnvelope::decode(card.encodedJSON()), card);

  const auto share = ControlEnvelope::decode(R"({"id":1,"t":"share","on":true})");
  EXPECT_FALSE(share.message.as<Share>()->title);
}

TEST(Payloads, EqualityRules) {
  // Texts compare by canonical equivalence; numbers as IEEE doubles; an absent optional is not a
  // zero; dictionaries compare key by key, whatever their spelling order.
  EXPECT_EQ(Bye{"caf\xC3\xA9"}, Bye{"cafe\xCC\x81"});
  EXPECT_EQ(Ping{0.0}, Ping{-0.0});
  EXPECT_NE(Ping{NAN}, Ping{NAN});
  Touch t{TouchPhase::began, 0.5, 0.5, MouseButton::left, PointerKind::finger, {}};
  Touch t0 = t;
  t0.pressure = 0;
  EXPECT_NE(t, t0);
  EXPECT_NE((Key{1, true, {Modifier::cmd}}), (Key{1, true, {Modifier::cmd, Modifier::cmd}}));
  KeyState on;
  on.label = "On";
  EXPECT_EQ((DeckState{"p", {{"k1", on}, {"k2", {}}}}), (DeckState{"p", {{"k2", {}}, {"k1", on}}}));
  EXPECT_EQ((DeckState{"p", {{"caf\xC3\xA9", on}}}), (DeckState{"p", {{"cafe\xCC\x81", on}}}));
  EXPECT_NE((DeckState{"p", {{"k1", on}}}), (DeckState{"p", {{"k1", {}}}}));
}

TEST(Enums, WordsAreExact) {
  EXPECT_EQ(parse<Posture>("partiallyOpen"), Posture::partiallyOpen);
  for (std::string_view bad : {"partiallyopen", "PartiallyOpen", " closed", ""})
    EXPECT_FALSE(parse<Posture>(bad)) << bad;
  for (auto verb : allCases<AgentVerb>()) EXPECT_EQ(parse<AgentVerb>(wordOf(verb)), verb);
}

JSONValue read(std::string_view text) {
  return JSONValue::decode(runtime::JsonDocument(text).reader());
}

TEST(JSONValue, EqualityAndHash) {
  struct Case {
    JSONValue a;
    JSONValue b;
    bool equal;
  };
  const Case cases[] = {
      {JSONValue(0.0), JSONValue(-0.0), true},
      {JSONValue(NAN), JSONValue(NAN), false},
      {read(R"({"a": 1, "b": 2})"), read(R"({"b": 2, "a": 1})"), true},
      {read("[1, 2]"), read("[2, 1]"), false},
      {JSONValue(1.0), JSONValue(true), false},
      {JSONValue(std::string()), JSONValue(), false},
      {JSONValue(std::string("caf\xC3\xA9")), JSONValue(std::string("cafe\xCC\x81")), true},
      {read(R"({"a": {"x": [1, {"y": null}]}})"), read(R"({"a": {"x": [1, {"y": null}]}})"), true},
      {read(R"({"a": 1})"), read(R"({"a": 1, "b": 1})"), false},
      {read(R"({"a": 1, "b": 2})"), read(R"({"a": 2, "b": 1})"), false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(c.a == c.b, c.equal);
    if (c.equal) {
      EXPECT_EQ(c.a.hash(), c.b.hash());
    }
  }
  // Swapped object values must not collide into one hash.
  EXPECT_NE(read(R"({"a": 1, "b": 2})").hash(), read(R"({"a": 2, "b": 1})").hash());
}

TEST(JSONValue, WritesSortedKeys) {
  EXPECT_EQ(runtime::writeJson(read(R"({"b": 1, "a": [true, null]})").toJson()),
            R"({"a":[true,null],"b":1})");
}

}  // namespace
}  // namespace brindlet::protocol
