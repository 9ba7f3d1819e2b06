#pragma once

// Helpers shared by the payload codecs; included only by the protocol's own sources.

#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "protocol/Enums.h"
#include "runtime/Error.h"
#include "runtime/Json.h"

namespace brindlet::protocol::codec {

using nlohmann::json;
using runtime::JsonArrayReader;
using runtime::JsonFailure;
using runtime::JsonObjectReader;
using runtime::JsonValueReader;

template <class E>
E readWord(const JsonValueReader& value) {
  if (!value.json().is_string()) value.failType("a string");
  const auto& word = value.json().template get_ref<const std::string&>();
  const auto parsed = parse<E>(word);
  if (!parsed)
    value.fail(JsonFailure::dataCorrupted,
               "unknown " + std::string(EnumWords<E>::name) + " word " + runtime::quoted(word));
  return *parsed;
}

template <class E>
std::string writeWord(E value) {
  return std::string(wordOf(value));
}

template <class T, class Read>
std::vector<T> readArray(const JsonValueReader& value, Read read) {
  const JsonArrayReader array = value.asArray();
  std::vector<T> out;
  out.reserve(array.size());
  for (std::size_t i = 0; i < array.size(); ++i) out.push_back(read(array.element(i)));
  return out;
}

inline std::vector<std::string> readStrings(const JsonValueReader& value) {
  return readArray<std::string>(value, [](const JsonValueReader& v) { return v.asString(); });
}

template <class T, class Read>
std::optional<T> readOptional(const JsonObjectReader& object, std::string_view key, Read read) {
  auto value = object.optional(key);
  if (!value) return std::nullopt;
  return read(*value);
}

// Absent optionals are left out of the object, never written as null.
template <class T>
void putOptional(json& out, const char* key, const std::optional<T>& value) {
  if (value) out[key] = *value;
}

}  // namespace brindlet::protocol::codec
