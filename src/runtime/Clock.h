#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

#include <boost/asio/awaitable.hpp>

namespace brindlet::runtime {

using Duration = std::chrono::nanoseconds;

// "3.0 seconds", "0.05 seconds": a duration as the system writes it in log lines.
std::string durationText(Duration duration);

// Monotonic time and sleeping. Production code gets the system clock; tests a ManualClock, so
// that long waits run instantly and deterministically.
class Clock {
 public:
  using TimePoint = std::chrono::steady_clock::time_point;

  virtual ~Clock() = default;
  virtual TimePoint now() const = 0;
  // Suspends for the duration; cancelling the waiting task throws the cancellation error.
  virtual boost::asio::awaitable<void> sleep(Duration duration) = 0;
  // Suspends until the clock reads `deadline` (at once if it has passed).
  virtual boost::asio::awaitable<void> sleepUntil(TimePoint deadline) = 0;

  static std::shared_ptr<Clock> system();
};

class SystemClock : public Clock {
 public:
  TimePoint now() const override;
  boost::asio::awaitable<void> sleep(Duration duration) override;
  boost::asio::awaitable<void> sleepUntil(TimePoint deadline) override;
};

// Wakes its task at every multiple of a period after its start, whatever the task did in
// between, so ticks do not drift. A task that fell behind by whole periods gets one tick, at once,
// for all of them: next() then says how many periods passed.
class Ticker {
 public:
  // The first tick is one period from now.
  Ticker(std::shared_ptr<Clock> clock, Duration period);

  // Waits for the next tick; returns the number of periods since the previous one (1 when on
  // time).
  boost::asio::awaitable<std::uint64_t> next();
  Duration period() const { return period_; }

 private:
  std::shared_ptr<Clock> clock_;
  Duration period_;
  Clock::TimePoint last_;
};

}  // namespace brindlet::runtime
