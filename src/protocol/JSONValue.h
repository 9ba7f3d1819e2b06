#pragma once

#include <cstddef>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include <nlohmann/json_fwd.hpp>

namespace brindlet::runtime {
class JsonValueReader;
}

namespace brindlet::protocol {

// A JSON document carried inside a message whose schema the protocol does not know (a deck
// profile). Every number is a double. Objects are unordered: equality and hashing ignore order.
class JSONValue {
 public:
  enum class Kind { null, boolean, number, string, array, object };
  using Array = std::vector<JSONValue>;
  using Object = std::vector<std::pair<std::string, JSONValue>>;  // unique keys, sorted by bytes

  JSONValue() = default;  // null
  explicit JSONValue(bool value) : value_(value) {}
  explicit JSONValue(double value) : value_(value) {}
  explicit JSONValue(std::string value) : value_(std::move(value)) {}
  explicit JSONValue(Array value) : value_(std::move(value)) {}
  explicit JSONValue(Object value);

  Kind kind() const { return static_cast<Kind>(value_.index()); }
  bool asBool() const { return std::get<bool>(value_); }
  double asNumber() const { return std::get<double>(value_); }
  const std::string& asString() const { return std::get<std::string>(value_); }
  const Array& asArray() const { return std::get<Array>(value_); }
  const Object& asObject() const { return std::get<Object>(value_); }

  // Any JSON value; null, booleans, numbers, strings, arrays and objects map one to one. A
  // number beyond the range of a double fails at its path.
  static JSONValue decode(const runtime::JsonValueReader& reader);
  // The value as a document for the writer; a non-finite number fails when it is written.
  nlohmann::json toJson() const;

  friend bool operator==(const JSONValue& a, const JSONValue& b);
  std::size_t hash() const;

 private:
  std::variant<std::nullptr_t, bool, double, std::string, Array, Object> value_ = nullptr;
};

}  // namespace brindlet::protocol

template <>
struct std::hash<brindlet::protocol::JSONValue> {
  std::size_t operator()(const brindlet::protocol::JSONValue& v) const { return v.hash(); }
};
