#pragma once

#include <boost/asio/awaitable.hpp>

#include "agents/HookEvent.h"

namespace brindlet::agents {

// Brings an agent's terminal to the front. True when a terminal window was confirmed active.
// Runs on the main loop.
class TerminalJumping {
 public:
  virtual ~TerminalJumping() = default;
  virtual boost::asio::awaitable<bool> jump(TerminalLocation location) = 0;
};

}  // namespace brindlet::agents
