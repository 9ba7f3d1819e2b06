#pragma once

#include <chrono>
#include <string>
#include <vector>

#include "support/ChildProcess.h"

namespace brindlet::testsupport {

// What the X clients that tests read back (xev, xinput test-xi2) have printed, as events.

// One key event as xev prints it.
struct XevKey {
  bool press = false;
  unsigned state = 0;
  unsigned keysym = 0;
  std::string name;
};

// xev's key events, in order; a block still being written is left out.
std::vector<XevKey> xevKeys(const std::string& output);

// xinput test-xi2 --root: the master pointer's events in order, a run of motion events as one
// "Motion", a raw button press as "+N" and its release as "-N".
std::vector<std::string> xinputPointerEvents(const std::string& output);

// Reads the client's output until `parse` gives at least `count` items or the time is up.
template <class Parse>
auto readUntil(ChildProcess& client, Parse parse, std::size_t count,
               std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (parse(client.output()).size() < count && std::chrono::steady_clock::now() < deadline)
    client.waitFor("\x01", std::chrono::milliseconds(50));
  return parse(client.output());
}

}  // namespace brindlet::testsupport
