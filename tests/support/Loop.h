#pragma once

#include <boost/asio/io_context.hpp>

#include "runtime/Clock.h"
#include "runtime/MainLoop.h"

namespace brindlet::testing {

// Runs every handler that is ready, and those they make ready, without waiting for anything.
inline void drain(boost::asio::io_context& io) {
  io.restart();
  while (io.poll() > 0) {
  }
}

// Lets `duration` pass on the manual clock one deadline at a time, draining the loop after each,
// so that whatever a wake-up schedules for later in the span also runs in it.
inline void runFor(boost::asio::io_context& io, runtime::ManualClock& clock,
                   runtime::Duration duration) {
  const auto end = clock.now() + duration;
  drain(io);
  for (auto next = clock.nextDeadline(); next && *next <= end; next = clock.nextDeadline()) {
    clock.advance(*next - clock.now());
    drain(io);
  }
  clock.advance(end - clock.now());
  drain(io);
}

inline void runFor(runtime::MainLoop& loop, runtime::ManualClock& clock,
                   runtime::Duration duration) {
  runFor(loop.context(), clock, duration);
}

}  // namespace brindlet::testing
