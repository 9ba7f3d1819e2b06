#pragma once

#include <cstddef>
#include <string>
#include <utility>

#include "runtime/WorkerThread.h"

namespace brindlet::runtime {

// The process's one worker for calls that can wait on a disk, a D-Bus service, a keyring prompt
// or a child: file reads and writes, fsync, /proc scans, libsecret, waitid. Started on first use
// and never destroyed; a forked child's first use starts the child's own.
WorkerThread& blockingWorker();
// The worker for Secret Service calls, which can wait for as long as the user takes to unlock
// the keyring: on a worker of their own they hold up no file or /proc work meanwhile.
WorkerThread& secretsWorker();

// How many calls handed to the blocking worker have not answered yet. Tests that drive a loop
// without waiting (drain) wait for these, so that a blocking step behaves as one step of the loop.
std::size_t blockingCallsInFlight();

namespace detail {
// Counts one call in flight for as long as it is held, moves included.
class InFlight {
 public:
  InFlight();
  InFlight(InFlight&& other) noexcept : counted_(std::exchange(other.counted_, false)) {}
  InFlight& operator=(InFlight&&) = delete;
  ~InFlight();

 private:
  bool counted_ = true;
};
}  // namespace detail

// Runs f() on the blocking worker (or the one given) and resumes the caller on its own executor
// with the result.
template <class F>
boost::asio::awaitable<std::invoke_result_t<F>> offloadBlocking(
    F f, WorkerThread& worker = blockingWorker()) {
  // The count ends when the call is dropped, which is after its answer is on the caller's way.
  auto counted = [f = std::move(f), inFlight = detail::InFlight()]() mutable { return f(); };
  return offload(worker.executor(), std::move(counted));
}

// Runs f() on the blocking worker (or the one given) without waiting for it: for work that must
// be done even when nobody is left to hear of it, such as removing a file while stopping. It is
// counted in flight like offloadBlocking's calls; f must not throw.
template <class F>
void postBlocking(F f, WorkerThread& worker = blockingWorker()) {
  boost::asio::post(worker.executor(),
                    [f = std::move(f), inFlight = detail::InFlight()]() mutable noexcept { f(); });
}

// Called first by every helper that can block. When the check is on and the calling thread runs a
// main loop, ends the process at once: one log line naming the call, the stack on standard error,
// then abort. It is not an exception, so that no catch-all on the way can swallow it.
void mayBlock(const char* what);

// The check is on in debug builds and in every test binary, off in release builds.
void checkBlocking(bool on);
bool checkingBlocking();

// Marks the calling thread as running a main loop for the guard's life (nested guards count).
// MainLoop marks itself; tests that drive a bare io_context as their main loop mark it too.
class RunningMainLoop {
 public:
  RunningMainLoop();
  ~RunningMainLoop();
  RunningMainLoop(const RunningMainLoop&) = delete;
  RunningMainLoop& operator=(const RunningMainLoop&) = delete;
};

// Whether the calling thread runs a main loop now.
bool runsMainLoop();

// Lifts the mark for the guard's life, for a blocking step the calling thread makes on purpose
// before or after its loop's work (a test preparing files while it drives the loop).
class AllowBlocking {
 public:
  AllowBlocking();
  ~AllowBlocking();
  AllowBlocking(const AllowBlocking&) = delete;
  AllowBlocking& operator=(const AllowBlocking&) = delete;

 private:
  int saved_;
};

}  // namespace brindlet::runtime
