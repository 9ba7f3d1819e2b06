#include "runtime/Timeout.h"

namespace brindlet::runtime {

boost::asio::awaitable<bool> within(Clock& clock, Duration limit,
                                    boost::asio::awaitable<void> operation) {
  namespace asio = boost::asio;
  auto executor = co_await asio::this_coro::executor;
  auto [order, operationError, timerError] =
      co_await asio::experimental::make_parallel_group(
          asio::co_spawn(executor, std::move(operation), asio::deferred),
          asio::co_spawn(executor, clock.sleep(limit), asio::deferred))
          .async_wait(asio::experimental::wait_for_one(), asio::use_awaitable);
  if (!operationError) co_return true;
  if (order[0] == 1 && !timerError) co_return false;
  std::rethrow_exception(operationError);
}

}  // namespace brindlet::runtime
