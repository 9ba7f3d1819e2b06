#pragma once

#include <chrono>
#include <string>
#include <vector>

#include "support/ChildProcess.h"
#include "support/XServer.h"

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
// "+A" for a press of A, "-A" for its release.
std::string pressName(const XevKey& key);
std::vector<std::string> pressNames(const std::vector<XevKey>& keys);
// The code point a key's keysym stands for: Latin-1 keysyms are their code points, the others
// the code point plus 0x1000000.
unsigned codePoint(const XevKey& key);

// xev's window at the top left, mapped: with no window manager it has the keyboard focus while
// the pointer is over it. xev loads its keymap, and starts following changes to it, only when it
// reads its first key event; callers send one (F13 serves) before the keys they read.
std::unique_ptr<ChildProcess> startXev(const XServer& server);
// xinput test-xi2 --root, once it listens to the pointer.
std::unique_ptr<ChildProcess> startPointerWatcher(const XServer& server);

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
