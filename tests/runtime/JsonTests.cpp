#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <nlohmann/json.hpp>

#include "runtime/Json.h"

namespace brindlet::runtime {
namespace {

using nlohmann::json;

json parsed(std::string_view text) {
  json doc;
  parseJson(text, doc);
  return doc;
}

std::string readError(std::string_view text, void (*read)(const JsonObjectReader&)) {
  const json doc = parsed(text);
  try {
    read(JsonValueReader(doc).asObject());
  } catch (const JsonReadError& e) {
    return e.text();
  }
  return "no error";
}

TEST(JsonWriter, WritingRules) {
  struct Case {
    json value;
    std::string_view text;
  };
  const Case cases[] = {
      {json::parse(R"({"b":1,"a":[true,null],"A":"x"})"), R"({"A":"x","a":[true,null],"b":1})"},
      {json("a/b"), R"("a/b")"},
      {json("\"\\\b\f\n\r\t\x01\x1f\x7f"), R"("\"\\\b\f\n\r\t\u0001\u001f)"
                                           "\x7f\""},
      {json("\xC3\xA9\xF0\x9F\x98\x80"), "\"\xC3\xA9\xF0\x9F\x98\x80\""},
      {json(2.0), "2"},
      {json(-0.0), "-0"},
      {json(12.5), "12.5"},
      {json(0.1), "0.1"},
      {json(1e300), "1e+300"},
      {json(9007199254740992.0), "9007199254740992"},
      {json(std::int64_t{-5}), "-5"},
      {json(std::uint64_t{18446744073709551615ULL}), "18446744073709551615"},
      {json::object(), "{}"},
      {json::array(), "[]"},
      // Keys sort by UTF-8 bytes: "Z" < "a" < "é".
      {json::parse("{\"\xC3\xA9\":1,\"a\":2,\"Z\":3}"), "{\"Z\":3,\"a\":2,\"\xC3\xA9\":1}"},
  };
  for (const auto& c : cases) EXPECT_EQ(writeJson(c.value), c.text) << c.value.dump();
}

TEST(JsonWriter, RefusesWhatJsonCannotHold) {
  for (double bad : {std::nan(""), std::numeric_limits<double>::infinity(),
                     -std::numeric_limits<double>::infinity()}) {
    EXPECT_THROW(writeJson(json{{"x", json::array({1, bad})}}), JsonWriteError);
  }
  EXPECT_THROW(writeJson(json(std::string("\xC3"))), JsonWriteError);
}

TEST(JsonWriter, DoublesRoundTrip) {
  for (double v : {0.1, 1.0 / 3, 5e-324, 1.7976931348623157e308, -2.5e-7, 123456789.125}) {
    EXPECT_EQ(parsed(jsonNumberText(v)).get<double>(), v) << v;
  }
}

TEST(JsonParse, RefusesDeepNestingAndBadInput) {
  std::string deep(kMaxJsonDepth, '[');
  deep += std::string(kMaxJsonDepth, ']');
  EXPECT_NO_THROW(parsed(deep));
  std::string tooDeep(kMaxJsonDepth + 1, '[');
  tooDeep += std::string(kMaxJsonDepth + 1, ']');
  try {
    parsed(tooDeep);
    FAIL();
  } catch (const JsonReadError& e) {
    EXPECT_EQ(e.kind(), JsonFailure::dataCorrupted);
    EXPECT_EQ(e.text(), "the data nests arrays and objects deeper than 512 levels");
  }
  // Brackets inside strings are text, not nesting.
  EXPECT_NO_THROW(parsed("[\"" + std::string(2000, '[') + "\\\"\"]"));
  for (std::string_view bad : {"", "{", "{\"a\":}", "nul", "\"\xC3\"", "[1,]"}) {
    EXPECT_THROW(parsed(bad), JsonReadError) << bad;
  }
}

TEST(JsonReader, FailureTexts) {
  struct Case {
    std::string_view doc;
    void (*read)(const JsonObjectReader&);
    std::string_view text;
  };
  const Case cases[] = {
      {R"({})", [](const JsonObjectReader& o) { o.required("id"); }, "missing id"},
      {R"({"a":{"b":{}}})",
       [](const JsonObjectReader& o) {
         o.required("a").asObject().required("b").asObject().required("c");
       },
       "missing a.b.c"},
      {R"({"id":"7"})", [](const JsonObjectReader& o) { o.required("id").asUInt32(); },
       "id: expected a number but found a string"},
      {R"({"id":null})", [](const JsonObjectReader& o) { o.required("id"); },
       "id: expected a value but found null"},
      {R"({"id":-1})", [](const JsonObjectReader& o) { o.required("id").asUInt32(); },
       "id: number -1 does not fit in UInt32"},
      {R"({"id":4294967296})", [](const JsonObjectReader& o) { o.required("id").asUInt32(); },
       "id: number 4294967296 does not fit in UInt32"},
      {R"({"s":2.5})", [](const JsonObjectReader& o) { o.required("s").asInt64(); },
       "s: number 2.5 does not fit in Int"},
      {R"({"k":65536})", [](const JsonObjectReader& o) { o.required("k").asUInt16(); },
       "k: number 65536 does not fit in UInt16"},
      {R"({"b":1})", [](const JsonObjectReader& o) { o.required("b").asBool(); },
       "b: expected a boolean but found a number"},
      {R"({"d":true})", [](const JsonObjectReader& o) { o.required("d").asDouble(); },
       "d: expected a number but found a boolean"},
      {R"({"p":"@@@@"})", [](const JsonObjectReader& o) { o.required("p").asBase64(); },
       "p: not valid Base64 text"},
      {R"({"a":[1,"x"]})",
       [](const JsonObjectReader& o) { o.required("a").asArray().element(1).asDouble(); },
       "a.1: expected a number but found a string"},
      {R"({"s":{"k1":{"r":3}}})",
       [](const JsonObjectReader& o) {
         auto states = o.required("s").asObject();
         for (auto key : states.keys()) states.required(key).asObject().required("r").asString();
       },
       "s.k1.r: expected a string but found a number"},
  };
  for (const auto& c : cases) EXPECT_EQ(readError(c.doc, c.read), c.text) << c.doc;
}

TEST(JsonReader, AcceptedValues) {
  const json doc = parsed(R"({"i":1e2,"u":4294967295,"z":0,"n":null,"d":3})");
  JsonObjectReader o = JsonValueReader(doc).asObject();
  EXPECT_EQ(o.required("i").asInt64(), 100);
  EXPECT_EQ(o.required("u").asUInt32(), 4294967295u);
  EXPECT_EQ(o.required("z").asUInt32(), 0u);
  EXPECT_EQ(o.required("d").asDouble(), 3.0);
  EXPECT_FALSE(o.optional("n"));
  EXPECT_FALSE(o.optional("missing"));
  EXPECT_TRUE(o.requiredAllowingNull("n").isNull());
}

}  // namespace
}  // namespace brindlet::runtime
