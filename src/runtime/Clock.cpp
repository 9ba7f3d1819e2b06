#include "runtime/Clock.h"

#include <algorithm>
#include <charconv>
#include <stdexcept>
#include <variant>

#include <boost/asio/steady_timer.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>

#include "runtime/OneShot.h"

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

struct ManualClock::Sleeper {
  TimePoint deadline;
  std::uint64_t sequence;
  std::shared_ptr<OneShot<std::monostate>> shot = OneShot<std::monostate>::make();
};

Clock::TimePoint ManualClock::now() const {
  std::lock_guard lock(mutex_);
  return now_;
}

std::size_t ManualClock::sleeperCount() const {
  std::lock_guard lock(mutex_);
  return sleepers_.size();
}

boost::asio::awaitable<void> ManualClock::sleep(Duration duration) {
  TimePoint deadline;
  {
    std::lock_guard lock(mutex_);
    deadline = now_ + duration;
  }
  co_await sleepUntil(deadline);
}

boost::asio::awaitable<void> ManualClock::sleepUntil(TimePoint deadline) {
  auto sleeper = std::make_shared<Sleeper>();
  bool due = false;
  {
    std::lock_guard lock(mutex_);
    sleeper->deadline = deadline;
    sleeper->sequence = ++lastSequence_;
    due = deadline <= now_;
    if (!due) sleepers_.push_back(sleeper);
  }
  if (due) sleeper->shot->resume({});
  std::weak_ptr<Sleeper> weak = sleeper;
  sleeper->shot->onCancel([this, weak] {
    auto sleeper = weak.lock();
    if (!sleeper) return;
    {
      std::lock_guard lock(mutex_);
      std::erase(sleepers_, sleeper);
    }
    sleeper->shot->fail(cancellationError());
  });
  co_await sleeper->shot->wait();
}

std::optional<Clock::TimePoint> ManualClock::nextDeadline() const {
  std::lock_guard lock(mutex_);
  std::optional<TimePoint> earliest;
  for (const auto& sleeper : sleepers_) {
    if (!earliest || sleeper->deadline < *earliest) earliest = sleeper->deadline;
  }
  return earliest;
}

void ManualClock::advance(Duration duration) {
  std::vector<std::shared_ptr<Sleeper>> due;
  {
    std::lock_guard lock(mutex_);
    now_ += duration;
    auto firstLater = std::stable_partition(sleepers_.begin(), sleepers_.end(),
                                            [&](const auto& s) { return s->deadline <= now_; });
    due.assign(sleepers_.begin(), firstLater);
    sleepers_.erase(sleepers_.begin(), firstLater);
  }
  wake(std::move(due));
}

void ManualClock::wake(std::vector<std::shared_ptr<Sleeper>> due) {
  std::sort(due.begin(), due.end(), [](const auto& a, const auto& b) {
    return a->deadline != b->deadline ? a->deadline < b->deadline : a->sequence < b->sequence;
  });
  for (auto& sleeper : due) sleeper->shot->resume({});
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
