#pragma once

#include <optional>
#include <string>

namespace brindlet::testsupport {

// Moves this process into a network namespace of its own with only the loopback interface up,
// so that nothing it or its children start can reach another machine. Must be called while the
// process has a single thread (threads keep the namespace they started in). Nothing when it
// worked, else why not: kNeedsRoot when not root, else what failed.
std::optional<std::string> enterPrivateNetwork();

inline constexpr const char* kNeedsRoot = "needs root for a network namespace of its own";

}  // namespace brindlet::testsupport
