#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <nlohmann/json.hpp>

#include "runtime/Json.h"
#include "runtime/Unicode.h"

namespace brindlet::runtime {
namespace {

using nlohmann::json;

json parsed(std::string_view text) {
  json doc;
  parseJson(text, doc);
  return doc;
}

std::string parseError(std::string_view text) {
  try {
    parsed(text);
  } catch (const JsonReadError& e) {
    EXPECT_EQ(e.kind(), JsonFailure::dataCorrupted);
    return e.text();
  }
  return "accepted";
}

// The one way this system writes JSON, which signatures cover byte for byte.
TEST(JsonWriter, WritingRules) {
  struct Case {
    json value;
    std::string_view text;
  };
  const Case cases[] = {
      // Keys by UTF-8 bytes at every level: capitals before lower case, digits as characters,
      // characters past ASCII after all of ASCII.
      {json::parse(R"({"b":1,"a":{"z":0,"Z":0,"é":0,"ｚ":0,"\u00e0":0}})"),
       "{\"a\":{\"Z\":0,\"z\":0,\"\u00e0\":0,\"\u00e9\":0,\"\uff5a\":0},\"b\":1}"},
      {json::parse(R"({"key9":1,"key10":2,"Key":3})"), R"({"Key":3,"key10":2,"key9":1})"},
      // Escapes: the short ones, \u00xx for other control characters, everything else raw.
      {json("\"\\\b\f\n\r\t\x01\x1f\x7f"), R"("\"\\\b\f\n\r\t\u0001\u001f)"
                                           "\x7f\""},
      {std::string("nul\0", 4), R"("nul\u0000")"},
      {"\u00e9\u2028\U0001F600", "\"\u00e9\u2028\U0001F600\""},
      // Integers as written, whole doubles below 2^53 without a fraction, others shortest.
      {json(std::int64_t{-5}), "-5"},
      {std::numeric_limits<std::int64_t>::max(), "9223372036854775807"},
      {json(std::uint64_t{18446744073709551615ULL}), "18446744073709551615"},
      {json(2.0), "2"},
      {json(-0.0), "-0"},
      {json(0.1), "0.1"},
      {1.0 / 3.0, "0.3333333333333333"},
      {9007199254740991.0, "9007199254740991"},
      {1e16, "1e+16"},
      {2.5e-7, "2.5e-07"},
      {5e-324, "5e-324"},
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
  // -0.0 keeps its sign through its text, "-0", and back.
  for (const std::string text : {"-0", "-0.0", "-0e3"}) {
    const json value = parsed(text);
    ASSERT_TRUE(value.is_number_float()) << text;
    EXPECT_TRUE(std::signbit(value.get<double>())) << text;
    EXPECT_EQ(writeJson(value), "-0") << text;
  }
  EXPECT_EQ(writeJson(parsed("[0, -0]")), "[0,-0]");
}

// Every fault names its line and column once, quotes at most a short, whole-character excerpt of
// the input, and stays UTF-8 whatever the input holds.
TEST(JsonParse, FaultTexts) {
  struct Case {
    std::string_view text;
    std::string_view error;
  };
  const std::string tooDeep =
      std::string(kMaxJsonDepth + 1, '[') + std::string(kMaxJsonDepth + 1, ']');
  const Case cases[] = {
      {"", "line 1, column 1: expected a value but found the end of the data"},
      {"{", "line 1, column 2: expected a key in double quotes but found the end of the data"},
      {R"({"a":1,})", "line 1, column 8: expected a key in double quotes but found '}'"},
      {R"({"a" 1})", "line 1, column 6: expected ':' after a key but found '1'"},
      {R"({"a":1 "b":2})", R"(line 1, column 8: expected ',' or '}' but found '"')"},
      {"[1,]", "line 1, column 4: expected a value but found ']'"},
      {"[tru]", "line 1, column 2: expected a value but found 'tru'"},
      {"01", "line 1, column 1: '01' is not a valid number"},
      {"-1.e5", "line 1, column 1: '-1.e5' is not a valid number"},
      {R"("a\qb")", R"(line 1, column 3: '\q' is not a valid escape)"},
      {R"("\ud800x")", R"(line 1, column 2: '\ud800' is half of a surrogate pair)"},
      {"\"a\tb\"", "line 1, column 3: the control character U+0009 must be escaped in a string"},
      {"[\n\"abc", "line 2, column 1: the string is not terminated"},
      {"{}\n\n  ]", "line 3, column 3: expected the end of the data but found ']'"},
      // The library this replaces stopped at a NUL and took the rest for the end of the input.
      {std::string_view("{}\0{}", 5),
       "line 1, column 3: expected the end of the data but found the control character U+0000"},
      // Raw bytes that are not UTF-8 are described, never copied into the text.
      {"\"caf\xC3\"", "line 1, column 5: the string holds a byte that is not UTF-8"},
      {"[\"\xC3\xA9\", \xE2\x82]",
       "line 1, column 7: expected a value but found a byte that is not UTF-8"},
      {"[1\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9"
       "\xC3\xA9\xC3\xA9\xC3\xA9"
       "\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xFF]",
       "line 1, column 2: "
       "'1\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9"
       "\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9"
       "\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xE2\x80\xA6' is not a valid number"},
      {tooDeep, "line 1, column 513: arrays and objects nest deeper than 512 levels"},
  };
  for (const auto& c : cases) {
    const std::string error = parseError(c.text);
    EXPECT_EQ(error, c.error) << c.text;
    EXPECT_TRUE(isValidUTF8(error)) << error;
  }
}

TEST(JsonParse, AcceptedDocuments) {
  struct Case {
    std::string text;
    json value;
  };
  const double inf = std::numeric_limits<double>::infinity();
  const Case cases[] = {
      {"\xEF\xBB\xBF [1]", json::array({1})},  // a byte-order mark is passed over
      {R"(["\ud83d\ude00\u0000\/"])", json::array({std::string("\xF0\x9F\x98\x80\0/", 6)})},
      {R"({"a":1,"a":2})", json{{"a", 2}}},  // the last of a repeated key, as the library keeps it
      {"[-0, 18446744073709551615, -9223372036854775808]",
       json::array({-0.0, std::uint64_t{18446744073709551615ULL},
                    std::numeric_limits<std::int64_t>::min()})},
      // Numbers past a double's range are kept for the field that reads them to report.
      {"[1e400, -1e400, 1e-400, 18446744073709551616]",
       json::array({inf, -inf, 0.0, 18446744073709551616.0})},
      {std::string(kMaxJsonDepth, '[') + std::string(kMaxJsonDepth, ']'), nullptr},
      // Brackets inside strings are text, not nesting.
      {"[\"" + std::string(2000, '[') + "\\\"\"]", json::array({std::string(2000, '[') + "\""})},
  };
  for (const auto& c : cases) {
    ASSERT_EQ(parseError(c.text), "accepted") << c.text;
    if (!c.value.is_null()) {
      EXPECT_EQ(parsed(c.text), c.value) << c.text;
    }
  }
}

// Reads one field of the document's top object as the named type; the text of its failure.
std::string readError(std::string_view text, std::string_view field, char type) {
  const JsonDocument doc(text);
  try {
    const JsonValueReader value = doc.reader().asObject().required(field);
    // The type letter picks the conversion; an unknown letter reads the value only.
    if (type == 'u') value.asUInt32();
    if (type == 'h') value.asUInt16();
    if (type == 'i') value.asInt64();
    if (type == 'd') value.asDouble();
    if (type == 'b') value.asBool();
    if (type == '6') value.asBase64();
  } catch (const JsonReadError& e) {
    return e.text();
  }
  return "no error";
}

TEST(JsonReader, FailureTexts) {
  struct Case {
    std::string doc;
    std::string_view field;
    char type;  // u: UInt32, h: UInt16, i: Int, d: Double, b: Bool, 6: Base64, -: any value
    std::string text;
  };
  const Case cases[] = {
      {R"({})", "id", '-', "missing id"},
      {R"({"id":"7"})", "id", 'u', "id: expected a number but found a string"},
      {R"({"id":null})", "id", '-', "id: expected a value but found null"},
      {R"({"id":-1})", "id", 'u', "id: number -1 does not fit in UInt32"},
      {R"({"id":4294967296})", "id", 'u', "id: number 4294967296 does not fit in UInt32"},
      {R"({"s":2.5})", "s", 'i', "s: number 2.5 does not fit in Int"},
      // Integers are judged by the number as written, never through a rounded double.
      {R"({"s":-9223372036854775809})", "s", 'i',
       "s: number -9223372036854775809 does not fit in Int"},
      {R"({"s":-9223372036854776832})", "s", 'i',
       "s: number -9223372036854776832 does not fit in Int"},
      {R"({"k":65535.000000000001})", "k", 'h',
       "k: number 65535.000000000001 does not fit in UInt16"},
      {R"({"k":0.99999999999999999})", "k", 'h',
       "k: number 0.99999999999999999 does not fit in UInt16"},
      {R"({"k":1e-400})", "k", 'h', "k: number 1e-400 does not fit in UInt16"},
      {R"({"id":1e10})", "id", 'u', "id: number 1e10 does not fit in UInt32"},
      {R"({"ts":-1e400})", "ts", 'd', "ts: number -1e400 does not fit in Double"},
      {"{\"ts\":1" + std::string(400, '0') + "}", "ts", 'd',
       "ts: number 1" + std::string(39, '0') + "\xE2\x80\xA6 does not fit in Double"},
      {R"({"b":1})", "b", 'b', "b: expected a boolean but found a number"},
      {R"({"p":"@@@@"})", "p", '6', "p: not valid Base64 text"},
  };
  for (const auto& c : cases) EXPECT_EQ(readError(c.doc, c.field, c.type), c.text) << c.doc;

  // Nested fields are named by their whole path.
  const JsonDocument doc(R"({"a":{"b":{}},"l":[1,"x"],"s":{"k1":{"r":3}}})");
  const JsonObjectReader o = doc.reader().asObject();
  const auto failure = [](auto read) {
    try {
      read();
    } catch (const JsonReadError& e) {
      return e.text();
    }
    return std::string("no error");
  };
  EXPECT_EQ(failure([&] { o.required("a").asObject().required("b").asObject().required("c"); }),
            "missing a.b.c");
  EXPECT_EQ(failure([&] { o.required("l").asArray().element(1).asDouble(); }),
            "l.1: expected a number but found a string");
  EXPECT_EQ(failure([&] {
              auto states = o.required("s").asObject();
              for (auto key : states.keys())
                states.required(key).asObject().required("r").asString();
            }),
            "s.k1.r: expected a string but found a number");
}

TEST(JsonReader, AcceptedValues) {
  const JsonDocument doc(
      R"({"i":1e2,"u":4294967295,"z":0,"n":null,"d":3,"w":2.0,"m":-0.0,"mz":-0,"x":4294967295.000,)"
      R"("min":-9223372036854775808.0,"max":922337203685477580.7e1})");
  JsonObjectReader o = doc.reader().asObject();
  EXPECT_EQ(o.required("i").asInt64(), 100);
  EXPECT_EQ(o.required("u").asUInt32(), 4294967295u);
  EXPECT_EQ(o.required("z").asUInt32(), 0u);
  EXPECT_EQ(o.required("d").asDouble(), 3.0);
  EXPECT_EQ(o.required("w").asUInt16(), 2u);
  EXPECT_EQ(o.required("m").asUInt16(), 0u);
  EXPECT_EQ(o.required("mz").asInt64(), 0);
  EXPECT_EQ(o.required("x").asUInt32(), 4294967295u);
  EXPECT_EQ(o.required("min").asInt64(), std::numeric_limits<std::int64_t>::min());
  EXPECT_EQ(o.required("max").asInt64(), std::numeric_limits<std::int64_t>::max());
  EXPECT_FALSE(o.optional("n"));
  EXPECT_FALSE(o.optional("missing"));
  EXPECT_TRUE(o.requiredAllowingNull("n").isNull());
}

// At the ends of a double's range: zeros however written and the subnormals a double holds are
// read; a number that would only round to an infinity, or from non-zero to zero, is refused.
TEST(JsonReader, DoublesAtTheEndsOfTheRange) {
  const struct {
    const char* text;
    std::optional<double> value;  // refused when none
  } rows[] = {
      {"0.0", 0.0},
      {"-0.0", -0.0},
      {"0e-400", 0.0},
      {"0.000e999", 0.0},
      {"1e-300", 1e-300},
      {"1e-310", 1e-310},
      {"4.9e-324", 4.9e-324},
      {"-2.5e-324", -4.9e-324},
      {"1.7976931348623157e308", 1.7976931348623157e308},
      {"1e-400", std::nullopt},
      {"-1e-400", std::nullopt},
      {"2.4e-324", std::nullopt},
      {"0.00001e-320", std::nullopt},
      {"1e400", std::nullopt},
      {"-1.8e308", std::nullopt},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.text);
    const std::string doc = std::string(R"({"n":)") + row.text + "}";
    if (!row.value) {
      EXPECT_EQ(readError(doc, "n", 'd'),
                "n: number " + std::string(row.text) + " does not fit in Double");
      continue;
    }
    const double read = JsonDocument(doc).reader().asObject().required("n").asDouble();
    EXPECT_EQ(read, *row.value);
    EXPECT_EQ(std::signbit(read), std::signbit(*row.value));
  }
}

}  // namespace
}  // namespace brindlet::runtime
