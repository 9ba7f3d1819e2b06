#include "protocol/JSONValue.h"

#include <algorithm>
#include <bit>
#include <cstdint>
#include <nlohmann/json.hpp>

#include "runtime/Json.h"
#include "runtime/Unicode.h"

namespace brindlet::protocol {
namespace {

// Hash mixing in the style of boost::hash_combine, 64-bit.
std::size_t combine(std::size_t seed, std::size_t value) {
  return seed ^ (value + 0x9e3779b97f4a7c15ULL + (seed << 12) + (seed >> 4));
}

std::size_t hashFrom(std::size_t seed, const JSONValue& v);

std::size_t hashFrom(std::size_t seed, const JSONValue& v) {
  seed = combine(seed, static_cast<std::size_t>(v.kind()));
  switch (v.kind()) {
    case JSONValue::Kind::null:
      return seed;
    case JSONValue::Kind::boolean:
      return combine(seed, v.asBool() ? 1 : 0);
    case JSONValue::Kind::number: {
      const double d = v.asNumber() == 0 ? 0.0 : v.asNumber();  // -0 hashes as +0
      return combine(seed, std::bit_cast<std::uint64_t>(d));
    }
    case JSONValue::Kind::string:
      return combine(seed, runtime::canonicalHash(v.asString()));
    case JSONValue::Kind::array: {
      seed = combine(seed, v.asArray().size());
      for (const auto& element : v.asArray()) seed = hashFrom(seed, element);
      return seed;
    }
    case JSONValue::Kind::object: {
      // Order-free: each member hashed from the same state, the results combined by XOR.
      std::size_t members = 0;
      for (const auto& [key, value] : v.asObject())
        members ^= hashFrom(combine(seed, runtime::canonicalHash(key)), value);
      return combine(seed, members);
    }
  }
  return seed;
}

const JSONValue* findMember(const JSONValue::Object& object, const std::string& key) {
  auto it =
      std::lower_bound(object.begin(), object.end(), key,
                       [](const auto& member, const std::string& k) { return member.first < k; });
  if (it != object.end() && it->first == key) return &it->second;
  for (const auto& member : object)
    if (runtime::canonicallyEqual(member.first, key)) return &member.second;
  return nullptr;
}

}  // namespace

JSONValue::JSONValue(Object value) {
  std::sort(value.begin(), value.end(),
            [](const auto& a, const auto& b) { return a.first < b.first; });
  value_ = std::move(value);
}

JSONValue JSONValue::decode(const runtime::JsonValueReader& reader) {
  const nlohmann::json& json = reader.json();
  switch (json.type()) {
    case nlohmann::json::value_t::boolean:
      return JSONValue(json.get<bool>());
    case nlohmann::json::value_t::number_integer:
    case nlohmann::json::value_t::number_unsigned:
    case nlohmann::json::value_t::number_float:
      return JSONValue(reader.asDouble());  // a number past a double's range fails at its path
    case nlohmann::json::value_t::string:
      return JSONValue(json.get<std::string>());
    case nlohmann::json::value_t::array: {
      const runtime::JsonArrayReader elements = reader.asArray();
      Array array;
      array.reserve(elements.size());
      for (std::size_t i = 0; i < elements.size(); ++i)
        array.push_back(decode(elements.element(i)));
      return JSONValue(std::move(array));
    }
    case nlohmann::json::value_t::object: {
      const runtime::JsonObjectReader members = reader.asObject();
      Object object;
      object.reserve(json.size());
      // The document's object is already sorted by key bytes.
      for (std::string_view key : members.keys())
        object.emplace_back(std::string(key), decode(members.requiredAllowingNull(key)));
      JSONValue result;
      result.value_ = std::move(object);
      return result;
    }
    default:
      return JSONValue();
  }
}

nlohmann::json JSONValue::toJson() const {
  switch (kind()) {
    case Kind::null:
      return nullptr;
    case Kind::boolean:
      return asBool();
    case Kind::number:
      return asNumber();
    case Kind::string:
      return asString();
    case Kind::array: {
      auto out = nlohmann::json::array();
      for (const auto& element : asArray()) out.push_back(element.toJson());
      return out;
    }
    case Kind::object: {
      auto out = nlohmann::json::object();
      for (const auto& [key, value] : asObject()) out[key] = value.toJson();
      return out;
    }
  }
  return nullptr;
}

bool operator==(const JSONValue& a, const JSONValue& b) {
  if (a.kind() != b.kind()) return false;
  switch (a.kind()) {
    case JSONValue::Kind::null:
      return true;
    case JSONValue::Kind::boolean:
      return a.asBool() == b.asBool();
    case JSONValue::Kind::number:
      return a.asNumber() == b.asNumber();
    case JSONValue::Kind::string:
      return runtime::canonicallyEqual(a.asString(), b.asString());
    case JSONValue::Kind::array:
      return a.asArray() == b.asArray();
    case JSONValue::Kind::object: {
      const auto& x = a.asObject();
      const auto& y = b.asObject();
      if (x.size() != y.size()) return false;
      for (const auto& [key, value] : x) {
        const JSONValue* other = findMember(y, key);
        if (other == nullptr || !(value == *other)) return false;
      }
      return true;
    }
  }
  return false;
}

std::size_t JSONValue::hash() const {
  return hashFrom(0, *this);
}

}  // namespace brindlet::protocol
