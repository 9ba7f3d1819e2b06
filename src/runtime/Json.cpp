#include "runtime/Json.h"

#include <charconv>
#include <cmath>
#include <limits>
#include <nlohmann/json.hpp>

#include "runtime/Base64.h"
#include "runtime/Unicode.h"

namespace brindlet::runtime {
namespace {

using nlohmann::json;

// Nesting depth of a JSON text, counted without parsing it, so that a hostile document is
// refused before any recursive code sees it. Brackets inside strings don't count.
bool nestingWithin(std::string_view bytes, std::size_t limit) {
  std::size_t depth = 0;
  bool inString = false;
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    const char c = bytes[i];
    if (inString) {
      if (c == '\\') {
        ++i;
      } else if (c == '"') {
        inString = false;
      }
    } else if (c == '"') {
      inString = true;
    } else if (c == '[' || c == '{') {
      if (++depth > limit) return false;
    } else if ((c == ']' || c == '}') && depth > 0) {
      --depth;
    }
  }
  return true;
}

std::string_view kindOf(const json& value) {
  switch (value.type()) {
    case json::value_t::null:
      return "null";
    case json::value_t::boolean:
      return "a boolean";
    case json::value_t::number_integer:
    case json::value_t::number_unsigned:
    case json::value_t::number_float:
      return "a number";
    case json::value_t::string:
      return "a string";
    case json::value_t::array:
      return "an array";
    case json::value_t::object:
      return "an object";
    default:
      return "a value of another kind";
  }
}

std::string numberText(const json& value) {
  if (value.is_number_integer() && !value.is_number_unsigned())
    return std::to_string(value.get<std::int64_t>());
  if (value.is_number_unsigned()) return std::to_string(value.get<std::uint64_t>());
  return jsonNumberText(value.get<double>());
}

void appendEscaped(std::string& out, std::string_view text) {
  if (!isValidUTF8(text)) throw JsonWriteError("a string is not valid UTF-8");
  out += '"';
  for (char c : text) {
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\b':
        out += "\\b";
        break;
      case '\f':
        out += "\\f";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      default:
        if (static_cast<unsigned char>(c) < 0x20) {
          static constexpr char kHex[] = "0123456789abcdef";
          out += "\\u00";
          out += kHex[(c >> 4) & 0xF];
          out += kHex[c & 0xF];
        } else {
          out += c;
        }
    }
  }
  out += '"';
}

}  // namespace

void parseJson(std::string_view bytes, json& out) {
  if (!nestingWithin(bytes, kMaxJsonDepth))
    throw JsonReadError(JsonFailure::dataCorrupted,
                        "the data nests arrays and objects deeper than " +
                            std::to_string(kMaxJsonDepth) + " levels");
  try {
    out = json::parse(bytes.begin(), bytes.end());
  } catch (const json::exception& e) {
    throw JsonReadError(JsonFailure::dataCorrupted,
                        std::string("the data is not valid JSON: ") + e.what());
  }
}

std::string jsonNumberText(double value) {
  if (!std::isfinite(value))
    throw JsonWriteError("cannot write the non-finite number " +
                         std::string(std::isnan(value) ? "nan" : "inf"));
  constexpr double kExactLimit = 9007199254740992.0;  // 2^53
  if (value == std::trunc(value) && std::fabs(value) < kExactLimit) {
    if (value == 0 && std::signbit(value)) return "-0";
    return std::to_string(static_cast<std::int64_t>(value));
  }
  char buf[32];
  auto [end, ec] = std::to_chars(buf, buf + sizeof buf, value);
  (void)ec;
  return std::string(buf, end);
}

void appendJson(std::string& out, const json& value) {
  switch (value.type()) {
    case json::value_t::null:
      out += "null";
      break;
    case json::value_t::boolean:
      out += value.get<bool>() ? "true" : "false";
      break;
    case json::value_t::number_integer:
      out += std::to_string(value.get<std::int64_t>());
      break;
    case json::value_t::number_unsigned:
      out += std::to_string(value.get<std::uint64_t>());
      break;
    case json::value_t::number_float:
      out += jsonNumberText(value.get<double>());
      break;
    case json::value_t::string:
      appendEscaped(out, value.get_ref<const std::string&>());
      break;
    case json::value_t::array: {
      out += '[';
      bool first = true;
      for (const auto& element : value) {
        if (!first) out += ',';
        first = false;
        appendJson(out, element);
      }
      out += ']';
      break;
    }
    case json::value_t::object: {
      // nlohmann's object is a std::map over std::string: iteration is in byte order.
      out += '{';
      bool first = true;
      for (const auto& [key, element] : value.get_ref<const json::object_t&>()) {
        if (!first) out += ',';
        first = false;
        appendEscaped(out, key);
        out += ':';
        appendJson(out, element);
      }
      out += '}';
      break;
    }
    default:
      throw JsonWriteError("cannot write a binary value");
  }
}

std::string writeJson(const json& value) {
  std::string out;
  appendJson(out, value);
  return out;
}

std::string JsonPathNode::text() const {
  std::vector<const JsonPathNode*> chain;
  for (const JsonPathNode* n = this; n != nullptr && !n->isRoot; n = n->parent) chain.push_back(n);
  std::string out;
  for (auto it = chain.rbegin(); it != chain.rend(); ++it) {
    if (!out.empty()) out += '.';
    if ((*it)->isIndex) {
      out += std::to_string((*it)->index);
    } else {
      out += (*it)->key;
    }
  }
  return out;
}

bool JsonValueReader::isNull() const {
  return value_->is_null();
}

void JsonValueReader::fail(JsonFailure kind, std::string_view description) const {
  std::string p = path();
  if (p.empty()) throw JsonReadError(kind, std::string(description));
  throw JsonReadError(kind, p + ": " + std::string(description));
}

void JsonValueReader::failType(std::string_view expected) const {
  const auto kind = value_->is_null() ? JsonFailure::valueNotFound : JsonFailure::typeMismatch;
  fail(kind, "expected " + std::string(expected) + " but found " + std::string(kindOf(*value_)));
}

std::string JsonValueReader::asString() const {
  if (!value_->is_string()) failType("a string");
  return value_->get<std::string>();
}

bool JsonValueReader::asBool() const {
  if (!value_->is_boolean()) failType("a boolean");
  return value_->get<bool>();
}

double JsonValueReader::asDouble() const {
  if (!value_->is_number()) failType("a number");
  return value_->get<double>();
}

std::int64_t JsonValueReader::integerIn(std::int64_t min, std::int64_t max,
                                        std::string_view type) const {
  if (!value_->is_number()) failType("a number");
  bool fits = false;
  std::int64_t result = 0;
  if (value_->is_number_unsigned()) {
    const auto v = value_->get<std::uint64_t>();
    fits = v <= static_cast<std::uint64_t>(max);
    result = static_cast<std::int64_t>(v);
  } else if (value_->is_number_integer()) {
    result = value_->get<std::int64_t>();
    fits = result >= min && result <= max;
  } else {
    const double v = value_->get<double>();
    // Whole doubles in range are accepted (1e2 is 100); [-2^63, 2^63) bounds the cast.
    if (std::isfinite(v) && v == std::trunc(v) && v >= -9223372036854775808.0 &&
        v < 9223372036854775808.0) {
      result = static_cast<std::int64_t>(v);
      fits = result >= min && result <= max;
    }
  }
  if (!fits)
    fail(JsonFailure::dataCorrupted,
         "number " + numberText(*value_) + " does not fit in " + std::string(type));
  return result;
}

std::int64_t JsonValueReader::asInt64() const {
  return integerIn(std::numeric_limits<std::int64_t>::min(),
                   std::numeric_limits<std::int64_t>::max(), "Int");
}

std::uint16_t JsonValueReader::asUInt16() const {
  return static_cast<std::uint16_t>(integerIn(0, 65535, "UInt16"));
}

std::uint32_t JsonValueReader::asUInt32() const {
  return static_cast<std::uint32_t>(integerIn(0, 4294967295LL, "UInt32"));
}

std::uint64_t JsonValueReader::asUInt64() const {
  if (value_->is_number_unsigned()) return value_->get<std::uint64_t>();
  return static_cast<std::uint64_t>(
      integerIn(0, std::numeric_limits<std::int64_t>::max(), "UInt64"));
}

Bytes JsonValueReader::asBase64() const {
  if (!value_->is_string()) failType("Base64 text");
  auto bytes = base64Decode(value_->get_ref<const std::string&>());
  if (!bytes) fail(JsonFailure::dataCorrupted, "not valid Base64 text");
  return std::move(*bytes);
}

JsonObjectReader JsonValueReader::asObject() const {
  if (!value_->is_object()) failType("an object");
  return JsonObjectReader(*this);
}

JsonArrayReader JsonValueReader::asArray() const {
  if (!value_->is_array()) failType("an array");
  return JsonArrayReader(*this);
}

JsonObjectReader::JsonObjectReader(const JsonValueReader& object) : object_(object) {}

const json* JsonObjectReader::find(std::string_view key) const {
  const auto& object = object_.json();
  auto it = object.find(key);
  return it == object.end() ? nullptr : &*it;
}

JsonPathNode JsonObjectReader::child(std::string_view key) const {
  return JsonPathNode{&object_.node(), key, 0, false, false};
}

bool JsonObjectReader::contains(std::string_view key) const {
  return find(key) != nullptr;
}

JsonValueReader JsonObjectReader::requiredAllowingNull(std::string_view key) const {
  const json* value = find(key);
  if (value == nullptr) {
    std::string p = object_.path();
    throw JsonReadError(JsonFailure::missingKey,
                        "missing " + (p.empty() ? std::string(key) : p + "." + std::string(key)));
  }
  return JsonValueReader(*value, child(key));
}

JsonValueReader JsonObjectReader::required(std::string_view key) const {
  JsonValueReader value = requiredAllowingNull(key);
  if (value.isNull()) value.fail(JsonFailure::valueNotFound, "expected a value but found null");
  return value;
}

std::optional<JsonValueReader> JsonObjectReader::optional(std::string_view key) const {
  const json* value = find(key);
  if (value == nullptr || value->is_null()) return std::nullopt;
  return JsonValueReader(*value, child(key));
}

std::vector<std::string_view> JsonObjectReader::keys() const {
  std::vector<std::string_view> out;
  out.reserve(object_.json().size());
  for (const auto& [key, value] : object_.json().get_ref<const json::object_t&>())
    out.push_back(key);
  return out;
}

JsonArrayReader::JsonArrayReader(const JsonValueReader& array) : array_(array) {}

std::size_t JsonArrayReader::size() const {
  return array_.json().size();
}

JsonValueReader JsonArrayReader::element(std::size_t index) const {
  return JsonValueReader(array_.json()[index],
                         JsonPathNode{&array_.node(), {}, index, true, false});
}

}  // namespace brindlet::runtime
