#pragma once

#include <chrono>
#include <cstddef>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

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

  static std::shared_ptr<Clock> system();
};

class SystemClock : public Clock {
 public:
  TimePoint now() const override;
  boost::asio::awaitable<void> sleep(Duration duration) override;
};

// Time moves only when the test says so. Sleepers whose deadline is reached wake in deadline
// order (then in the order they started sleeping) on their own executors.
class ManualClock : public Clock {
 public:
  TimePoint now() const override;
  boost::asio::awaitable<void> sleep(Duration duration) override;

  void advance(Duration duration);
  std::size_t sleeperCount() const;

 private:
  struct Sleeper;
  void wake(std::vector<std::shared_ptr<Sleeper>> due);

  mutable std::mutex mutex_;
  TimePoint now_{};
  std::uint64_t lastSequence_ = 0;
  std::vector<std::shared_ptr<Sleeper>> sleepers_;
};

}  // namespace brindlet::runtime
