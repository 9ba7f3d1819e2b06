#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "runtime/Bytes.h"

namespace brindlet::runtime {

// Standard Base64 (RFC 4648 alphabet, "=" padding). Decoding is strict: the length must be a
// multiple of four, every character must be of the alphabet, padding may only end the text and
// the unused low bits of the last character must be zero. Anything else gives no value.
std::string base64Encode(ByteView bytes);
std::optional<Bytes> base64Decode(std::string_view text);

}  // namespace brindlet::runtime
