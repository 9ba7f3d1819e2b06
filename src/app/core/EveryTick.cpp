#include "app/core/EveryTick.h"

namespace brindlet::app {
namespace {

boost::asio::awaitable<void> tickLoop(std::shared_ptr<runtime::Clock> clock,
                                      runtime::Duration period, std::function<bool()> tick) {
  runtime::Ticker ticker(std::move(clock), period);
  do {
    co_await ticker.next();
  } while (tick());
}

}  // namespace

runtime::TaskHandle everyTick(const boost::asio::any_io_executor& executor,
                              std::shared_ptr<runtime::Clock> clock, runtime::Duration period,
                              std::function<bool()> tick) {
  return runtime::spawn(executor, tickLoop(std::move(clock), period, std::move(tick)));
}

}  // namespace brindlet::app
