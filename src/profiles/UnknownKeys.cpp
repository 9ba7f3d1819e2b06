#include "profiles/UnknownKeys.h"

#include <algorithm>
#include <string>

#include "profiles/ProfileError.h"

namespace brindlet::profiles {

void rejectUnknownKeys(const runtime::JsonValueReader& value, KeyList allowed,
                       std::string_view type) {
  rejectUnknownKeys(value, allowed, {}, type);
}

void rejectUnknownKeys(const runtime::JsonValueReader& value, KeyList allowed, KeyList extra,
                       std::string_view type) {
  const auto known = [](KeyList list, std::string_view key) {
    return std::find(list.begin(), list.end(), key) != list.end();
  };
  // The reader lists an object's keys in UTF-8 byte order, which is code-point order.
  for (std::string_view key : value.asObject().keys())
    if (!known(allowed, key) && !known(extra, key))
      throw ProfileError::unknownKey(std::string(key), std::string(type));
}

}  // namespace brindlet::profiles
