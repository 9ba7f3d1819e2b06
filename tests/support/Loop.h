#pragma once

#include <chrono>
#include <exception>
#include <functional>
#include <future>
#include <optional>
#include <stdexcept>
#include <thread>
#include <variant>

#include <boost/asio/awaitable.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>

#include "runtime/Blocking.h"
#include "runtime/Clock.h"
#include "runtime/MainLoop.h"
#include "runtime/ManualClock.h"

namespace brindlet::testing {

// Runs every handler that is ready, and those they make ready, without waiting for anything.
// Calls on the blocking worker count as ready work: drain waits for their answers.
inline void drain(boost::asio::io_context& io) {
  runtime::RunningMainLoop mark;
  io.restart();
  for (;;) {
    while (io.poll() > 0) {
    }
    if (runtime::blockingCallsInFlight() == 0) break;
    io.run_one_for(std::chrono::milliseconds(1));
    io.restart();
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

// Runs the loop until the condition holds, for at most the timeout; whether it holds. For tests
// that wait on other processes (a real server, a window manager).
inline bool runUntil(boost::asio::io_context& io, const std::function<bool()>& done,
                     std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  runtime::RunningMainLoop mark;
  io.restart();
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    if (io.run_one_for(std::chrono::milliseconds(10)) == 0) {
      io.restart();
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
  }
  return true;
}

// Runs the loop until the operation finishes and returns its result (or throws its error). The
// loop must not be running on another thread.
template <class T>
T runUntilDone(boost::asio::io_context& io, boost::asio::awaitable<T> operation) {
  std::optional<std::variant<T, std::exception_ptr>> result;
  boost::asio::co_spawn(io, std::move(operation), [&](std::exception_ptr e, T value) {
    if (e) {
      result.emplace(std::in_place_index<1>, e);
    } else {
      result.emplace(std::in_place_index<0>, std::move(value));
    }
  });
  {
    runtime::RunningMainLoop mark;
    io.restart();
    while (!result && io.run_one() > 0) {
    }
  }
  if (!result) throw std::logic_error("loop ran out of work before the operation finished");
  if (result->index() == 1) std::rethrow_exception(std::get<1>(*result));
  return std::move(std::get<0>(*result));
}

inline void runUntilDone(boost::asio::io_context& io, boost::asio::awaitable<void> operation) {
  auto wrapped = [](boost::asio::awaitable<void> op) -> boost::asio::awaitable<bool> {
    co_await std::move(op);
    co_return true;
  };
  runUntilDone<bool>(io, wrapped(std::move(operation)));
}

// Runs the operation on a loop of its own until it finishes: for a test of an awaited role that
// has no loop of its own.
template <class T>
T runAlone(boost::asio::awaitable<T> operation) {
  boost::asio::io_context io;
  return runUntilDone(io, std::move(operation));
}

// Runs the function on a loop that another thread runs and returns its result, so that a test
// touches the loop's objects only from the loop.
template <class F>
auto onLoop(runtime::MainLoop& loop, F f) -> decltype(f()) {
  std::packaged_task<decltype(f())()> task(std::move(f));
  auto result = task.get_future();
  boost::asio::post(loop.context(), [&task] { task(); });
  return result.get();
}

}  // namespace brindlet::testing
