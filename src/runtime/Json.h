#pragma once

#include <cstdint>
#include <exception>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json_fwd.hpp>

#include "runtime/Bytes.h"

namespace brindlet::runtime {

// Strict, typed reading of JSON documents held by nlohmann::json, and the one way this system
// writes JSON. Readers report a failure with the coding path of the value that failed.

enum class JsonFailure {
  missingKey,     // a required key is absent
  typeMismatch,   // a value of the wrong JSON type
  valueNotFound,  // null where a value is required
  dataCorrupted,  // not JSON, a number out of range, an unknown word, bad Base64, ...
};

// Text: "missing <path.key>" for a missing key, otherwise "<path>: <description>" (only the
// description at the top level).
class JsonReadError : public std::exception {
 public:
  JsonReadError(JsonFailure kind, std::string text) : kind_(kind), text_(std::move(text)) {}
  JsonFailure kind() const { return kind_; }
  const std::string& text() const { return text_; }
  const char* what() const noexcept override { return text_.c_str(); }

 private:
  JsonFailure kind_;
  std::string text_;
};

class JsonWriteError : public std::exception {
 public:
  explicit JsonWriteError(std::string description) : description_(std::move(description)) {}
  const std::string& description() const { return description_; }
  const char* what() const noexcept override { return description_.c_str(); }

 private:
  std::string description_;
};

// Deepest nesting of arrays and objects that a document may have.
inline constexpr std::size_t kMaxJsonDepth = 512;

class JsonValueReader;
struct JsonNumberTexts;

// A parsed document. The reader is strict (one value with nothing but white space around it,
// valid UTF-8, nesting up to kMaxJsonDepth; a leading UTF-8 byte-order mark is passed over) and
// refuses anything else with a dataCorrupted JsonReadError whose text names the line and column
// of the fault. Numbers too large for a double are kept, as infinities, and numbers too small
// for one as zeros, so that the field that reads one reports it. The document keeps the text of
// every number that is not a 64-bit integer, so that readers judge such numbers by what was
// written, not by a rounded double.
class JsonDocument {
 public:
  explicit JsonDocument(std::string_view bytes);
  JsonDocument(JsonDocument&&) noexcept;
  JsonDocument& operator=(JsonDocument&&) noexcept;
  ~JsonDocument();

  const nlohmann::json& value() const;
  JsonValueReader reader() const;

 private:
  struct State;
  std::unique_ptr<State> state_;
};

// Parses a whole document as JsonDocument does, keeping only its value.
void parseJson(std::string_view bytes, nlohmann::json& out);

// Writes compact JSON: keys sorted by UTF-8 bytes, no white space, "/" unescaped, the escapes
// \" \\ \b \f \n \r \t and \u00xx (lower-case hex) for other control characters, everything
// else raw; integers as written, whole doubles below 2^53 without a fraction, other doubles in
// their shortest round-trip form. NaN, infinities and invalid UTF-8 throw JsonWriteError.
std::string writeJson(const nlohmann::json& value);
void appendJson(std::string& out, const nlohmann::json& value);

// Appends the text with JSON's escapes, as writeJson writes strings, without the quotes.
void appendJsonEscaped(std::string& out, std::string_view text);

// Shortest text of a double that reads back as the same double, as writeJson spells it.
std::string jsonNumberText(double value);

class JsonObjectReader;
class JsonArrayReader;

// One step of a coding path; readers keep a chain of them on the stack, so the happy path
// allocates nothing for paths. A reader must not outlive the reader it came from.
struct JsonPathNode {
  const JsonPathNode* parent = nullptr;
  std::string_view key;
  std::size_t index = 0;
  bool isIndex = false;
  bool isRoot = true;

  std::string text() const;  // keys joined by "."; an array position is its decimal index
};

class JsonValueReader {
 public:
  explicit JsonValueReader(const nlohmann::json& value) : value_(&value) {}
  JsonValueReader(const nlohmann::json& value, JsonPathNode node,
                  const JsonNumberTexts* numbers = nullptr)
      : value_(&value), node_(node), numbers_(numbers) {}

  const nlohmann::json& json() const { return *value_; }
  const JsonPathNode& node() const { return node_; }
  std::string path() const { return node_.text(); }
  bool isNull() const;

  std::string asString() const;
  bool asBool() const;
  // Any JSON number within the range of a double: one that only rounds to an infinity, or a
  // non-zero one that only rounds to zero, is refused.
  double asDouble() const;
  // Integers: a number whose exact value, as written, is a whole number within the type's range.
  std::int64_t asInt64() const;
  std::uint16_t asUInt16() const;
  std::uint32_t asUInt32() const;
  Bytes asBase64() const;  // strict standard Base64 text
  JsonObjectReader asObject() const;
  JsonArrayReader asArray() const;

  // Throws a failure of this kind at this value's path.
  [[noreturn]] void fail(JsonFailure kind, std::string_view description) const;
  // A type mismatch: "expected <type> but found <what the value is>".
  [[noreturn]] void failType(std::string_view expected) const;

 private:
  friend class JsonObjectReader;
  friend class JsonArrayReader;

  std::int64_t integerIn(std::int64_t min, std::int64_t max, std::string_view type) const;
  const std::string* writtenNumber() const;  // a number's text, where the document kept it
  std::string numberText() const;            // for a message

  const nlohmann::json* value_;
  JsonPathNode node_;
  const JsonNumberTexts* numbers_ = nullptr;
};

class JsonObjectReader {
 public:
  explicit JsonObjectReader(const JsonValueReader& object);

  bool contains(std::string_view key) const;
  // Missing → missingKey; null → valueNotFound ("expected a value but found null").
  JsonValueReader required(std::string_view key) const;
  // Missing is missingKey; null is returned as a value.
  JsonValueReader requiredAllowingNull(std::string_view key) const;
  // Missing or null → no value.
  std::optional<JsonValueReader> optional(std::string_view key) const;
  // Keys in sorted order.
  std::vector<std::string_view> keys() const;
  const JsonValueReader& self() const { return object_; }

 private:
  const nlohmann::json* find(std::string_view key) const;
  JsonPathNode child(std::string_view key) const;

  JsonValueReader object_;
};

class JsonArrayReader {
 public:
  explicit JsonArrayReader(const JsonValueReader& array);

  std::size_t size() const;
  JsonValueReader element(std::size_t index) const;
  const JsonValueReader& self() const { return array_; }

 private:
  JsonValueReader array_;
};

}  // namespace brindlet::runtime
