#pragma once

#include <concepts>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json_fwd.hpp>

#include "runtime/Unicode.h"

namespace brindlet::runtime {
class JsonObjectReader;
class JsonValueReader;
}  // namespace brindlet::runtime

namespace brindlet::protocol {

// What every control payload offers: its wire type name, its validation (which throws
// ProtocolError::invalidMessage), and its fields' JSON form inside the flat envelope object.
template <class P>
concept ControlPayload = requires(const P& p, nlohmann::json& out,
                                  const runtime::JsonObjectReader& in) {
  { P::type } -> std::convertible_to<std::string_view>;
  p.validate();
  p.encode(out);
  { P::decode(in) } -> std::same_as<P>;
};

// Field-by-field equality with the system's rules: texts by canonical equivalence, doubles as
// IEEE numbers, optionals equal when both absent or both present and equal, arrays element by
// element, dictionaries key by key whatever their order.
namespace equality {

inline bool same(const std::string& a, const std::string& b) {
  return runtime::canonicallyEqual(a, b);
}

template <class T>
bool same(const T& a, const T& b);

template <class T>
bool same(const std::optional<T>& a, const std::optional<T>& b) {
  if (a.has_value() != b.has_value()) return false;
  return !a || same(*a, *b);
}

template <class T>
bool same(const std::vector<T>& a, const std::vector<T>& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i)
    if (!same(a[i], b[i])) return false;
  return true;
}

template <class V>
bool same(const std::map<std::string, V>& a, const std::map<std::string, V>& b) {
  if (a.size() != b.size()) return false;
  for (const auto& [key, value] : a) {
    auto it = b.find(key);
    if (it == b.end()) {
      // Keys are texts too: a canonically equivalent spelling names the same entry.
      for (it = b.begin(); it != b.end(); ++it)
        if (runtime::canonicallyEqual(it->first, key)) break;
      if (it == b.end()) return false;
    }
    if (!same(value, it->second)) return false;
  }
  return true;
}

template <class T>
bool same(const T& a, const T& b) {
  return a == b;
}

template <class T, class... M>
bool fields(const T& a, const T& b, M T::*... members) {
  return (same(a.*members, b.*members) && ...);
}

}  // namespace equality

}  // namespace brindlet::protocol
