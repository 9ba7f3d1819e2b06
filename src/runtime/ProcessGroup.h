#pragma once

#include <sys/types.h>

#include <boost/asio/awaitable.hpp>

#include "runtime/Clock.h"

namespace brindlet::runtime {

// Ends a process group: SIGTERM to it; once every member has ended, returns; once `grace` has
// passed on the clock with any of it left, SIGKILL and waits (on the system's time, at most a
// second) until the killed are gone. Nothing is signalled when no member runs: the group's id may
// belong to others by then.
//
// Members are watched through pidfds, without polling: a scan of /proc on the blocking worker
// finds the members when the group is signalled, and each member's end brings a new scan, which
// also finds members forked since. Cancelling the wait kills whatever of the group still runs.
boost::asio::awaitable<void> endProcessGroup(pid_t group, Duration grace, Clock& clock);

}  // namespace brindlet::runtime
