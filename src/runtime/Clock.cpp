#include "runtime/Clock.h"

#include <charconv>
#include <stdexcept>

#include <boost/asio/steady_timer.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>

namespace brindlet::runtime {

std::string durationText(Duration duration) {
  double seconds = std::chrono::duration<double>(duration).count();
  char buffer[64];
  auto [end, ec] = std::to_chars(buffer, buffer + sizeof buffer, seconds);
  std::string text(buffer, end);
  if (text.find_first_of(".e") == std::string::npos) text += ".0";
  return text + " seconds";
}

std::shared_ptr<Clock> Clock::system() {
  static const std::shared_ptr<Clock> clock = std::make_shared<SystemClock>();
  return clock;
}

Clock::TimePoint SystemClock::now() const {
  return std::chrono::steady_clock::now();
}

boost::asio::awaitable<void> SystemClock::sleep(Duration duration) {
  boost::asio::steady_timer timer(co_await boost::asio::this_coro::executor, duration);
  co_await timer.async_wait(boost::asio::use_awaitable);
}

boost::asio::awaitable<void> SystemClock::sleepUntil(TimePoint deadline) {
  boost::asio::steady_timer timer(co_await boost::asio::this_coro::executor, deadline);
  co_await timer.async_wait(boost::asio::use_awaitable);
}

Ticker::Ticker(std::shared_ptr<Clock> clock, Duration period)
    : clock_(std::move(clock)), period_(period), last_(clock_->now()) {
  if (period_ <= Duration::zero()) throw std::invalid_argument("a ticker needs a positive period");
}

boost::asio::awaitable<std::uint64_t> Ticker::next() {
  auto late = clock_->now() - last_;
  std::uint64_t periods = late < period_ ? 1 : std::uint64_t(late / period_);
  Clock::TimePoint deadline = last_ + period_ * periods;
  co_await clock_->sleepUntil(deadline);
  last_ = deadline;
  co_return periods;
}

}  // namespace brindlet::runtime
