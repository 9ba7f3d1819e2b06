#pragma once

#include <span>
#include <string_view>

#include "runtime/Json.h"

namespace brindlet::profiles {

using KeyList = std::span<const std::string_view>;

// The first step of every strict decoder: the value must be a JSON object (otherwise the
// reader's own JsonReadError), and each of its keys must be in `allowed` or `extra`; the first
// key that is in neither, in code-point order, fails with ProfileError::unknownKey(key, type).
// Letter case matters. Allowed keys are plain ASCII words without any character that another
// character is canonically equivalent to, so comparing bytes is comparing texts.
void rejectUnknownKeys(const runtime::JsonValueReader& value, KeyList allowed,
                       std::string_view type);
void rejectUnknownKeys(const runtime::JsonValueReader& value, KeyList allowed, KeyList extra,
                       std::string_view type);

}  // namespace brindlet::profiles
