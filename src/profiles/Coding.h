#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include <nlohmann/json_fwd.hpp>

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

// Texts compare by canonical equivalence; absent equals only absent.
bool sameText(const std::optional<std::string>& a, const std::optional<std::string>& b);

}  // namespace brindlet::profiles
