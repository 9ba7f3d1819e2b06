#include "profiles/Coding.h"

#include <nlohmann/json.hpp>

#include "runtime/Unicode.h"

namespace brindlet::profiles {
namespace {

template <class T, class Read>
std::optional<T> optionalField(const runtime::JsonObjectReader& object, std::string_view key,
                               Read read) {
  auto value = object.optional(key);
  if (!value) return std::nullopt;
  return read(*value);
}

template <class T>
void put(nlohmann::json& object, std::string_view key, const std::optional<T>& value) {
  if (value) object[std::string(key)] = *value;
}

}  // namespace

std::optional<std::string> optionalString(const runtime::JsonObjectReader& object,
                                          std::string_view key) {
  return optionalField<std::string>(object, key, [](const auto& v) { return v.asString(); });
}

std::optional<double> optionalDouble(const runtime::JsonObjectReader& object,
                                     std::string_view key) {
  return optionalField<double>(object, key, [](const auto& v) { return v.asDouble(); });
}

std::optional<std::int64_t> optionalInt64(const runtime::JsonObjectReader& object,
                                          std::string_view key) {
  return optionalField<std::int64_t>(object, key, [](const auto& v) { return v.asInt64(); });
}

void putOptional(nlohmann::json& object, std::string_view key,
                 const std::optional<std::string>& value) {
  put(object, key, value);
}

void putOptional(nlohmann::json& object, std::string_view key, const std::optional<double>& value) {
  put(object, key, value);
}

void putOptional(nlohmann::json& object, std::string_view key,
                 const std::optional<std::int64_t>& value) {
  put(object, key, value);
}

bool sameText(const std::optional<std::string>& a, const std::optional<std::string>& b) {
  if (!a || !b) return a.has_value() == b.has_value();
  return runtime::canonicallyEqual(*a, *b);
}

}  // namespace brindlet::profiles
