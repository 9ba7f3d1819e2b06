#include <gtest/gtest.h>

#include <cmath>

#include "ProtocolTestSupport.h"
#include "protocol/Frame.h"
#include "runtime/Unicode.h"

namespace brindlet::protocol {
namespace {

using testing::decodeError;
using testing::malformed;

TEST(MessageCounter, CountsFromOneAndWrapsToOne) {
  MessageCounter fresh;
  EXPECT_EQ(fresh.next(), 1u);
  EXPECT_EQ(fresh.next(), 2u);
  MessageCounter high{4294967294u};
  EXPECT_EQ(high.next(), 4294967295u);
  EXPECT_EQ(high.next(), 1u);
  MessageCounter counter;
  ControlEnvelope a(Ping{1}, counter), b(Pong{1}, counter);
  EXPECT_EQ(a.id, 1u);
  EXPECT_EQ(b.id, 2u);
}

// Texts written by hand as the wire form, decoded, and written back byte for byte.
TEST(ControlEnvelope, WireExamplesRoundTripExactly) {
  const char* examples[] = {
      R"({"id":7,"t":"ping","ts":12.5})",
      R"({"id":3,"t":"displayGone"})",
      R"({"app":"0.0.0","caps":["hevc","pencil"],"device":"Mac","id":1,"name":"Mac","proto":1,"t":"hello"})",
      R"({"bitrateKbps":8000,"droppedFrames":2,"fps":59.5,"id":9,"rttMs":4.5,"t":"stats"})",
      R"({"id":12,"reason":"backgrounded","t":"bye"})",
      R"({"button":"left","id":9,"phase":"began","pointer":"finger","t":"touch","x":0.25,"y":0.5})",
      R"({"id":12,"key":"showDock","phase":"press","profile":"system","t":"deckAction"})",
      R"({"id":30,"profile":"p1","states":{"k1":{"label":"On","ring":"good"},"k2":{}},"t":"deckState"})",
      R"({"id":2,"psk":"AAECAwQFBgcICQoLDA0ODxAREhMUFRYXGBkaGxwdHh8=","t":"pairOK"})",
      R"({"code":"012345","id":2,"t":"pair"})",
      R"({"h":844,"id":2,"mode":"deckOnly","orientation":"landscape","posture":"partiallyOpen","scale":3,"t":"pane","w":390})",
      R"({"codec":"hevc","displayID":4294967295,"fps":60,"h":1266,"id":2,"scale":2,"t":"displayReady","w":585})",
      R"({"dx":-3.5,"dy":10,"id":2,"momentum":true,"phase":"began","t":"scroll"})",
      R"({"down":true,"id":2,"keyCode":65535,"mods":["cmd","cmd","shift"],"t":"key"})",
      R"({"id":2,"t":"text","text":"a/b \"q\" \u0001 é"})",
      R"({"app":"com.x","appName":"X","id":2,"profile":{"a":[true,null,1.5,"s"],"b":{}},"t":"deckProfile"})",
      R"({"app":"com.x","appName":"X","id":2,"profile":null,"t":"deckProfile"})",
      R"({"app":"a","appName":"A","elapsed":12.25,"id":2,"profile":{"id":"m"},"t":"meetingDeck"})",
      R"({"appName":"A","id":2,"keys":[],"lines":["l"],"symbol":"s","t":"glance"})",
      R"({"id":2,"on":false,"t":"share","title":"T"})",
      R"({"agents":[{"branch":"main","canJump":true,"detail":"d","id":"a1","recent":[{"kind":"tool","text":"ls","time":1.5}],"request":{"canAlwaysAllow":false,"id":"r1","summary":"s","tool":"Bash"},"since":1700000000.5,"state":"needsYou","title":"T","vendor":"claude"}],"id":2,"t":"agentBoard"})",
      R"({"agent":"a1","id":2,"request":"r1","t":"agentAction","verb":"alwaysAllow"})",
      R"({"decodeMs":1.25,"bitrateKbps":1,"droppedFrames":0,"fps":60,"id":9,"rttMs":0,"t":"stats"})",
  };
  for (std::string_view json : examples) {
    const auto envelope = ControlEnvelope::decode(json);
    EXPECT_FALSE(envelope.message.isUnknown()) << json;
    std::string expected(json);
    if (expected.find("decodeMs") != std::string::npos) {
      // The one example given out of order comes back sorted.
      expected =
          R"({"bitrateKbps":1,"decodeMs":1.25,"droppedFrames":0,"fps":60,"id":9,"rttMs":0,"t":"stats"})";
    }
    EXPECT_EQ(envelope.encodedJSON(), expected);
    EXPECT_EQ(ControlEnvelope::decode(envelope.encodedJSON()), envelope) << json;
  }
}

TEST(ControlEnvelope, KeyOrderAndUnknownFieldsDoNotMatter) {
  EXPECT_EQ(ControlEnvelope::decode(R"({"t":"ping","id":1,"ts":2})"),
            ControlEnvelope::decode(R"({"ts":2,"id":1,"t":"ping"})"));
  EXPECT_EQ(ControlEnvelope::decode(R"({"t":"ping","id":1,"ts":2})").encodedJSON(),
            R"({"id":1,"t":"ping","ts":2})");
  EXPECT_EQ(ControlEnvelope::decode(R"({"id":5,"t":"displayGone","anything":true})").message,
            ControlMessage(DisplayGone{}));
  EXPECT_EQ(ControlEnvelope::decode(R"({"id":4,"t":"needKeyframe","x":1})").encodedJSON(),
            R"({"id":4,"t":"needKeyframe"})");
  EXPECT_EQ(ControlEnvelope::decode(R"({"id":0,"t":"ping","ts":1})").id, 0u);
}

TEST(ControlEnvelope, UnknownTypesSurviveWithTheirIdOnly) {
  for (const char* json :
       {R"({"id":5,"t":"Ping","ts":"x","deep":[1,{"a":null}]})", R"({"id":5,"t":"ping ","x":1})",
        R"({"id":5,"t":""})", R"({"id":5,"t":"touch2","x":2})"}) {
    const auto envelope = ControlEnvelope::decode(json);
    EXPECT_TRUE(envelope.message.isUnknown()) << json;
    EXPECT_EQ(envelope.id, 5u);
    const std::string written = envelope.encodedJSON();
    EXPECT_EQ(written, "{\"id\":5,\"t\":\"" + std::string(envelope.message.type()) + "\"}");
  }
}

// Every failed read and its text. The envelope is one JSON object and nothing else; integer
// fields take only numbers whose written value is a whole number of their range; a number out of
// range is reported at its field; and every text is UTF-8, however broken the input.
TEST(ControlEnvelope, ReadFailures) {
  struct Case {
    std::string json;
    std::string error;
  };
  const std::string ping = R"({"id":1,"t":"ping","ts":1})";
  const auto pane = [](std::string_view scale) {
    return R"({"id":1,"t":"pane","w":1,"h":1,"orientation":"portrait","posture":"closed","mode":"lite","scale":)" +
           std::string(scale) + "}";
  };
  const auto key = [](std::string_view code) {
    return R"({"id":1,"t":"key","down":true,"mods":[],"keyCode":)" + std::string(code) + "}";
  };
  const Case cases[] = {
      {R"({"t":"ping","ts":1})", malformed("missing id")},
      {R"({"ts":1})", malformed("missing id")},
      {R"({"id":1,"ts":1})", malformed("missing t")},
      {R"({"id":-1,"t":"ping","ts":1})", malformed("id: number -1 does not fit in UInt32")},
      {R"({"id":"1","t":"ping","ts":1})", malformed("id: expected a number but found a string")},
      {R"({"id":1,"t":7})", malformed("t: expected a string but found a number")},
      {R"([1])", malformed("expected an object but found an array")},
      {R"({"id":1,"t":"pair"})", malformed("missing code")},
      {R"({"id":1,"t":"pairOK","psk":"not base64!"})", malformed("psk: not valid Base64 text")},
      {R"({"id":1,"t":"hello","proto":1,"app":"a","device":"d","name":"n"})",
       malformed("missing caps")},
      {R"({"id":1,"t":"pane","W":1,"h":1,"scale":2})", malformed("missing w")},
      {R"({"id":1,"t":"pane","w":1,"h":1,"scale":2.5,"orientation":"portrait","posture":"closed","mode":"lite"})",
       malformed("scale: number 2.5 does not fit in Int")},
      {R"({"id":1,"t":"pane","w":1,"h":1,"scale":2,"orientation":"portrait","posture":"partiallyopen","mode":"lite"})",
       malformed(R"(posture: unknown Posture word "partiallyopen")")},
      {R"({"id":1,"t":"key","keyCode":65536,"down":true,"mods":[]})",
       malformed("keyCode: number 65536 does not fit in UInt16")},
      {R"({"id":1,"t":"key","keyCode":1,"down":true})", malformed("missing mods")},
      {R"({"id":1,"t":"key","keyCode":1,"down":true,"mods":["cmd","fn"]})",
       malformed(R"(mods.1: unknown Modifier word "fn")")},
      {R"({"id":1,"t":"displayReady","w":1,"h":1,"scale":2,"displayID":1,"codec":"H264","fps":60})",
       malformed(R"(codec: unknown Codec word "H264")")},
      {R"({"id":1,"t":"deckProfile","app":"a","appName":"b"})", malformed("missing profile")},
      {R"({"id":1,"t":"deckState","profile":"p"})", malformed("missing states")},
      {R"({"id":1,"t":"deckState","profile":"p","states":{"k1":{"ring":"purple"}}})",
       malformed(R"(states.k1.ring: unknown RingState word "purple")")},
      {R"({"id":1,"t":"share","title":"x"})", malformed("missing on")},
      {R"({"id":1,"t":"agentBoard","agents":[{"id":"a","vendor":"v","title":"t","state":"busy","detail":"d","since":1,"canJump":false}]})",
       malformed(R"(agents.0.state: unknown AgentState word "busy")")},
      {R"({"id":1,"t":"agentBoard","agents":[{"id":"a","vendor":"v","title":"t","state":"idle","detail":"d","since":1,"canJump":false,"request":{"id":"r"}}]})",
       malformed("missing agents.0.request.tool")},
      {R"({"id":1,"t":"agentAction","agent":"a","verb":"Approve"})",
       malformed(R"(verb: unknown AgentVerb word "Approve")")},
      {ping + std::string("\0", 1) + "garbage",
       malformed("line 1, column 27: expected the end of the data but found the control "
                 "character U+0000")},
      {ping + " \r\n\t", "accepted as ping"},
      {pane("2.0"), "accepted as pane"},
      {pane("2.0000000000000001"),
       malformed("scale: number 2.0000000000000001 does not fit in Int")},
      {key("65535.000000000001"),
       malformed("keyCode: number 65535.000000000001 does not fit in UInt16")},
      {key("65535.0"), "accepted as key"},
      {R"({"id":1,"t":"deckProfile","app":"a","appName":"A","profile":{"k":[0,1e400]}})",
       malformed("profile.k.1: number 1e400 does not fit in Double")},
      {R"({"id":1,"t":"later","ts":1e400})", "accepted as later"},  // nothing read beyond "t"
      {"{\"id\":1,\"t\":\"text\",\"text\":\"caf\xC3\"}",
       malformed("line 1, column 31: the string holds a byte that is not UTF-8")},
      {"{\"id\":1,\n\"t\":\"ping\",\n\"ts\":}",
       malformed("line 3, column 6: expected a value but found '}'")},
  };
  for (const auto& c : cases) {
    const std::string got = decodeError(c.json);
    EXPECT_EQ(got, c.error) << c.json;
    EXPECT_TRUE(runtime::isValidUTF8(got)) << got;
  }
}

TEST(ControlEnvelope, DeepNestingIsRefusedNotOverflowed) {
  // 8 MiB of nesting inside an unknown message: the depth is refused before anything recurses.
  std::string hostile = R"({"id":1,"t":"deckProfile","app":"a","appName":"b","profile":)";
  hostile += std::string(4 * 1024 * 1024, '[') + std::string(4 * 1024 * 1024, ']') + "}";
  EXPECT_EQ(decodeError(hostile),
            malformed("line 1, column 572: arrays and objects nest deeper than 512 levels"));

  // The deepest accepted document decodes, compares, hashes and is destroyed safely.
  std::string deepest = R"({"id":1,"t":"deckProfile","app":"a","appName":"b","profile":)";
  deepest += std::string(511, '[') + std::string(511, ']') + "}";
  const auto a = ControlEnvelope::decode(deepest);
  const auto b = ControlEnvelope::decode(a.encodedJSON());
  EXPECT_EQ(a, b);
}

TEST(ControlEnvelope, WritingFailsOnlyForValuesJsonCannotHold) {
  const auto failure = [](ControlMessage m) {
    try {
      ControlEnvelope(1, std::move(m)).encodedJSON();
    } catch (const ProtocolError& e) {
      return std::string(e.as<ProtocolError::MalformedControl>()->text);
    }
    return std::string("written");
  };
  EXPECT_EQ(failure(Ping{NAN}).rfind("encode failed: ", 0), 0u);
  EXPECT_EQ(failure(Touch{TouchPhase::began, INFINITY, 0, {}, {}, {}}).rfind("encode failed: ", 0),
            0u);
  KeyState look;
  look.value = -INFINITY;
  EXPECT_EQ(failure(DeckState{"p", {{"k", look}}}).rfind("encode failed: ", 0), 0u);
  EXPECT_EQ(failure(DeckProfile{JSONValue(JSONValue::Array{JSONValue(NAN)}), "a", "b"})
                .rfind("encode failed: ", 0),
            0u);
  // Writing never validates: a touch the receiver will refuse is still written.
  EXPECT_EQ(failure(Touch{TouchPhase::began, 2, 0, {}, {}, 5.0}), "written");
  EXPECT_EQ(failure(Glance{"a", "s", {}, {"1", "2", "3", "4", "5"}}), "written");
}

TEST(ControlEnvelope, ControlFrames) {
  const ControlEnvelope ping(7, Ping{12.5});
  const Frame frame = ping.frame();
  EXPECT_EQ(frame.channel, Channel::control);
  EXPECT_TRUE(frame.flags.empty());
  EXPECT_EQ(protocol::ControlEnvelope::of(frame), ping);

  Frame onVideo{Channel::video, FrameFlags::keyframe, frame.payload};
  try {
    protocol::ControlEnvelope::of(onVideo);
    FAIL();
  } catch (const ProtocolError& e) {
    EXPECT_EQ(e, ProtocolError::notControl(Channel::video));
    EXPECT_EQ(e.text(), "notControl(video)");
  }
}

TEST(ControlMessage, TypeNames) {
  EXPECT_EQ(ControlMessage(TypedText{"x"}).type(), "text");
  EXPECT_EQ(ControlMessage::unknown("zzz").type(), "zzz");
  // Every listed name decodes to its own case, never to unknown.
  for (std::string_view type : ControlMessage::payloadTypes) {
    const std::string json = R"({"id":1,"t":")" + std::string(type) + R"("})";
    try {
      EXPECT_FALSE(ControlEnvelope::decode(json).message.isUnknown());
    } catch (const ProtocolError& e) {
      EXPECT_EQ(e.as<ProtocolError::MalformedControl>()->text.rfind("missing ", 0), 0u) << type;
    }
  }
}

}  // namespace
}  // namespace brindlet::protocol
