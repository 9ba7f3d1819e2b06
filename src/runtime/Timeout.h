#pragma once

#include <exception>
#include <optional>

#include <boost/asio/awaitable.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/deferred.hpp>
#include <boost/asio/experimental/parallel_group.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>

#include "runtime/Clock.h"

namespace brindlet::runtime {

// Runs the operation for at most `limit` of the clock's time. Returns its value, or nothing when
// the time ran out first (the operation is then cancelled and awaited). A value the operation
// produced is never dropped, even when the time ran out in the same turn. Errors of the operation
// pass through; cancelling the caller cancels both and throws the cancellation error.
template <class T>
boost::asio::awaitable<std::optional<T>> within(Clock& clock, Duration limit,
                                                boost::asio::awaitable<T> operation) {
  namespace asio = boost::asio;
  auto executor = co_await asio::this_coro::executor;
  auto [order, operationError, value, timerError] =
      co_await asio::experimental::make_parallel_group(
          asio::co_spawn(executor, std::move(operation), asio::deferred),
          asio::co_spawn(executor, clock.sleep(limit), asio::deferred))
          .async_wait(asio::experimental::wait_for_one(), asio::use_awaitable);
  if (!operationError) co_return std::optional<T>(std::move(value));
  if (order[0] == 1 && !timerError) co_return std::nullopt;
  std::rethrow_exception(operationError);
}

// The same for an operation without a value: true when it finished in time.
boost::asio::awaitable<bool> within(Clock& clock, Duration limit,
                                    boost::asio::awaitable<void> operation);

}  // namespace brindlet::runtime
