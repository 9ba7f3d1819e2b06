#pragma once

#include <array>
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json_fwd.hpp>

#include "runtime/Json.h"

namespace brindlet::profiles {

// The small records of a profile document. Each decodes strictly (its own keys first, then its
// fields in order; ProfileError::unknownKey or the reader's JsonReadError) and encodes with
// absent fields left out.

using IdList = std::vector<std::string>;

// Who made the profile, and the public key its signature verifies with.
struct Author {
  static constexpr std::string_view typeWord = "author";
  static constexpr auto allowedKeys = std::to_array<std::string_view>({"name", "key"});

  std::string name{};
  std::optional<std::string> key{};  // Base64 of the raw 32-byte Ed25519 public key

  static Author decode(const runtime::JsonValueReader& value);
  void encode(nlohmann::json& to) const;
  friend bool operator==(const Author& a, const Author& b);
};

// The ids of keys and controls the deck shows, per layout, in display order.
struct Layouts {
  static constexpr std::string_view typeWord = "layouts";
  static constexpr auto allowedKeys =
      std::to_array<std::string_view>({"compact", "regular", "meeting"});

  IdList compact{};
  IdList regular{};
  std::optional<IdList> meeting{};  // the ids kept while a meeting is live

  // The base list (regular or compact); in a meeting, only its entries that `meeting` also
  // holds, in the base list's order.
  IdList ids(bool regularLayout, bool inMeeting) const;

  static Layouts decode(const runtime::JsonValueReader& value);
  void encode(nlohmann::json& to) const;
  friend bool operator==(const Layouts& a, const Layouts& b);
};

// What the phone's glance view shows. The limits are checked when a profile is validated, not
// while decoding.
struct Glance {
  static constexpr std::string_view typeWord = "glance";
  static constexpr auto allowedKeys = std::to_array<std::string_view>({"lines", "keys"});
  static constexpr std::size_t maxLines = 3;
  static constexpr std::size_t maxKeys = 4;

  IdList lines{};  // reader ids
  IdList keys{};   // key ids

  static Glance decode(const runtime::JsonValueReader& value);
  void encode(nlohmann::json& to) const;
  friend bool operator==(const Glance& a, const Glance& b);
};

// Helpers shared by the document's decoders.
IdList decodeIdList(const runtime::JsonValueReader& value);
std::optional<IdList> optionalIdList(const runtime::JsonObjectReader& object, std::string_view key);
bool sameTexts(const IdList& a, const IdList& b);
bool sameTexts(const std::optional<IdList>& a, const std::optional<IdList>& b);

// Maps are equal when they hold the same ids, each with an equal value.
template <class Map, class Equal>
bool sameEntries(const Map& a, const Map& b, Equal equal) {
  if (a.size() != b.size()) return false;
  for (const auto& [id, value] : a) {
    auto other = b.find(id);
    if (other == b.end() || !equal(value, other->second)) return false;
  }
  return true;
}

template <class Map, class Equal>
bool sameEntries(const std::optional<Map>& a, const std::optional<Map>& b, Equal equal) {
  if (!a || !b) return a.has_value() == b.has_value();
  return sameEntries(*a, *b, equal);
}

// Each entry of a JSON object decoded by `decode`, keyed by its name.
template <class Map, class Decode>
Map decodeEntries(const runtime::JsonValueReader& value, Decode decode) {
  const runtime::JsonObjectReader object = value.asObject();
  Map map;
  for (std::string_view id : object.keys())
    map.emplace(std::string(id), decode(object.required(id)));
  return map;
}

}  // namespace brindlet::profiles
