#include <gtest/gtest.h>

#include <chrono>
#include <nlohmann/json.hpp>

#include "profiles/JSONShapeScanner.h"
#include "profiles/ProfileError.h"

namespace brindlet::profiles {
namespace {

// "ok <position>" after one scanned value, or the error's form.
std::string scan(std::string_view bytes) {
  JSONShapeScanner scanner(bytes);
  try {
    scanner.scanValue();
  } catch (const ProfileError& e) {
    return e.text();
  }
  return "ok " + std::to_string(scanner.position());
}

std::string malformed(std::string_view text) {
  return ProfileError::malformedJSON(std::string(text)).text();
}
std::string duplicate(std::string_view key) {
  return ProfileError::duplicateKey(std::string(key)).text();
}

TEST(JSONShapeScanner, TextsAndStopRules) {
  struct Case {
    std::string_view document;
    std::string expected;
  };
  const Case cases[] = {
      // Keys given twice, in one object only.
      {R"({"a":1,"a":2})", duplicate("a")},
      {R"({"a":{"a":1},"b":{"a":2}})", "ok 25"},
      {"{\"caf\xC3\xA9\":1,\"cafe\xCC\x81\":2}", duplicate("cafe\xCC\x81")},
      {R"({"\ud83d\ude00":1,"😀":2})", duplicate("😀")},
      {R"({"A":1,"a":2})", "ok 13"},
      // The duplicate is reported as soon as it is read: later faults are not looked at.
      {R"({"a":1,"a" 2)", duplicate("a")},
      // Keys a strict decoder refuses are named by their token, quotes included.
      {R"({"\x":1,"\x":2})", duplicate(R"("\x")")},
      {"{\"\xFF\":1,\"\xFE\":2}", duplicate("")},
      {R"({"\ud800":1,"\ud800":2})", duplicate(R"("\ud800")")},
      // The six texts.
      {"", malformed("unexpected end")},
      {R"({"a":)", malformed("unexpected end")},
      {"{", malformed("expected a string")},
      {R"({"a":1,})", malformed("expected a string")},
      {R"("abc)", malformed("unterminated string")},
      {R"({"key" 1})", malformed(R"(expected : after "key")")},
      {R"({"a":1 "b":2})", malformed("expected , or }")},
      {"[1 2]", malformed("expected , or ]")},
      // What the scan leaves to the decoder passes.
      {R"({"a":})", "ok 6"},
      {"[1,,2]", "ok 6"},
      {R"({"a":1} trailing)", "ok 7"},
      {R"({"a":"\q\u12"})", "ok 14"},
      {R"({ "a" : [ { } , "x" ] })", "ok 23"},
      // A quote inside a string doesn't end it when a backslash escapes it.
      {R"({"a\"b":1,"a\\":2,"a\"b":3})", duplicate("a\"b")},
      {R"("\\\"\\\")", malformed("unterminated string")},
  };
  for (const auto& c : cases) EXPECT_EQ(scan(c.document), c.expected) << c.document;
}

TEST(JSONShapeScanner, DeepNestingIsRefusedWithoutRecursion) {
  const std::size_t limit = JSONShapeScanner::maxDepth;
  const auto nested = [](std::size_t depth, char open, char close) {
    return std::string(depth, open) + std::string(depth, close);
  };
  EXPECT_EQ(scan(nested(limit, '[', ']')), "ok " + std::to_string(2 * limit));
  EXPECT_EQ(scan(nested(limit + 1, '[', ']')),
            malformed("nested deeper than " + std::to_string(limit) + " levels"));
  // Far deeper than any thread's stack would allow for a recursive walk.
  EXPECT_EQ(scan(std::string(10'000'000, '[')),
            malformed("nested deeper than " + std::to_string(limit) + " levels"));
  std::string objects;
  for (std::size_t i = 0; i < limit; ++i) objects += R"({"a":)";
  objects += "1" + std::string(limit, '}');
  EXPECT_EQ(scan(objects), "ok " + std::to_string(objects.size()));
  // The decoder accepts exactly the depths the scanner accepts.
  nlohmann::json doc;
  EXPECT_NO_THROW(runtime::parseJson(nested(limit, '[', ']'), doc));
  EXPECT_THROW(runtime::parseJson(nested(limit + 1, '[', ']'), doc), runtime::JsonReadError);
}

// A file of one long string of escapes must not freeze a reload: each byte is looked at a
// bounded number of times (the scan once searched to the end of the input at every backslash).
TEST(JSONShapeScanner, LongStringsOfEscapesScanInLinearTime) {
  for (std::string_view piece : {"\\n", "\\\"", "\\\\"}) {
    std::string document = R"({"k":")";
    while (document.size() < (1u << 20)) document += piece;
    document += "\"}";
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(scan(document), "ok " + std::to_string(document.size())) << piece;
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(500)) << piece;
  }
}

TEST(JSONShapeScanner, ManyKeysInOneObject) {
  for (std::size_t count : {16, 17, 5000}) {
    std::string object = "{";
    for (std::size_t i = 0; i < count; ++i) object += "\"k" + std::to_string(i) + "\":{\"k0\":1},";
    const std::string unique = object.substr(0, object.size() - 1) + "}";
    EXPECT_EQ(scan(unique), "ok " + std::to_string(unique.size())) << count;
    for (std::size_t repeated : {std::size_t{0}, count / 2, count - 1}) {
      const std::string twice = object + "\"k" + std::to_string(repeated) + "\":2}";
      EXPECT_EQ(scan(twice), duplicate("k" + std::to_string(repeated))) << count;
    }
  }
}

// One leading byte-order mark is passed over, and the file behind it is scanned as strictly.
TEST(JSONShapeScanner, LeadingByteOrderMarkKeepsTheFileStrict) {
  const std::string bom = "\xEF\xBB\xBF";
  EXPECT_THROW(JSONShapeScanner::scanDocument(bom + R"({"a":1,"a":2})"), ProfileError);
  EXPECT_THROW(JSONShapeScanner::scanDocument(bom), ProfileError);
  EXPECT_NO_THROW(JSONShapeScanner::scanDocument(bom + "{}"));
}

}  // namespace
}  // namespace brindlet::profiles
