#pragma once

#include <cstddef>

namespace brindlet::runtime {

// The most descriptors the process raises its soft limit to: past this, a child that closes
// every descriptor up to its inherited limit before it runs would spend seconds doing so.
constexpr std::size_t kDescriptorCeiling = std::size_t(1) << 20;

// Raises the soft limit on open descriptors to the hard limit (no further than the ceiling), as
// servers and browsers do: a desktop session's soft limit of 1024 is the default of programs
// that use select(), not a share meant for one that serves many connections. Returns the soft
// limit in force afterwards. Call it before threads start, from main.
std::size_t raiseDescriptorLimit();

// The soft limit on open descriptors now (the ceiling when there is none).
std::size_t descriptorLimit();

}  // namespace brindlet::runtime
