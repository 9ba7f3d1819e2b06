#pragma once

#include <string>
#include <thread>
#include <utility>

namespace brindlet::runtime {

namespace detail {
// What every thread of ours does first: names itself (cut to the 15 bytes the system keeps),
// which ps and debuggers show, and takes its stack for the crash handler, given back when it
// ends (see coverThisThread in ExitCleanup.h). startThread calls it; a thread started otherwise
// calls it itself.
void nameThisThread(const std::string& name);
}  // namespace detail

// Starts a thread of ours running `body`, named and covered by the crash handler from its first
// moment to its end.
template <class Body>
std::thread startThread(std::string name, Body body) {
  return std::thread([name = std::move(name), body = std::move(body)]() mutable {
    detail::nameThisThread(name);
    std::move(body)();
  });
}

}  // namespace brindlet::runtime
