#pragma once

#include <cstdint>

namespace brindlet::profiles {

// The only profile schema this system reads.
inline constexpr std::int64_t schema = 1;

}  // namespace brindlet::profiles
