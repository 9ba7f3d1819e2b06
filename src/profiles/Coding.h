#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include <nlohmann/json_fwd.hpp>

#include "profiles/ProfileError.h"
#include "profiles/Words.h"
#include "runtime/Json.h"

namespace brindlet::profiles {

// Reading, writing and comparing the optional fields of the profile's records. A key that is
// absent or holds null gives no value; a value of another JSON type is the reader's
// JsonReadError. An absent field is left out when writing, never written as null.

std::optional<std::string> optionalString(const runtime::JsonObjectReader& object,
                                          std::string_view key);
std::optional<double> optionalDouble(const runtime::JsonObjectReader& object, std::string_view key);
std::optional<std::int64_t> optionalInt64(const runtime::JsonObjectReader& object,
                                          std::string_view key);

void putOptional(nlohmann::json& object, std::string_view key,
                 const std::optional<std::string>& value);
void putOptional(nlohmann::json& object, std::string_view key, const std::optional<double>& value);
void putOptional(nlohmann::json& object, std::string_view key,
                 const std::optional<std::int64_t>& value);

// An enum's word, read as a string: a word that is not one of E's fails with unknown(word),
// carrying the word as written.
using UnknownWord = ProfileError (*)(std::string word);

template <class E>
E requiredWord(const runtime::JsonObjectReader& object, std::string_view key, UnknownWord unknown) {
  std::string word = object.required(key).asString();
  if (auto value = fromWord<E>(word)) return *value;
  throw unknown(std::move(word));
}

template <class E>
std::optional<E> optionalWord(const runtime::JsonObjectReader& object, std::string_view key,
                              UnknownWord unknown) {
  auto word = optionalString(object, key);
  if (!word) return std::nullopt;
  if (auto value = fromWord<E>(*word)) return value;
  throw unknown(std::move(*word));
}

// An enum word that the JSON decoder itself reads (colours, ring words): an unknown word is the
// decoder's own dataCorrupted failure at the value's path, not a profile error of its own.
template <class E>
E decoderWord(const runtime::JsonValueReader& value) {
  const std::string word = value.asString();
  if (auto parsed = fromWord<E>(word)) return *parsed;
  value.fail(runtime::JsonFailure::dataCorrupted,
             "cannot read \"" + word + "\" as one of its words");
}

// Texts compare by canonical equivalence; absent equals only absent.
bool sameText(const std::optional<std::string>& a, const std::optional<std::string>& b);

}  // namespace brindlet::profiles
