#include <gtest/gtest.h>

#include <cmath>
#include <nlohmann/json.hpp>

#include "protocol/JSONValue.h"
#include "runtime/Json.h"

namespace brindlet::protocol {
namespace {

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
