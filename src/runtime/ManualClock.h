#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "runtime/Clock.h"

namespace brindlet::runtime {

// Time moves only when the test says so. Sleepers whose deadline is reached wake in deadline
// order (then in the order they started sleeping) on their own executors.
class ManualClock : public Clock {
 public:
  TimePoint now() const override;
  boost::asio::awaitable<void> sleep(Duration duration) override;
  boost::asio::awaitable<void> sleepUntil(TimePoint deadline) override;

  void advance(Duration duration);
  std::size_t sleeperCount() const;
  // The earliest deadline a sleeper waits for, if any sleeps.
  std::optional<TimePoint> nextDeadline() const;

 private:
  struct Sleeper;
  void wake(std::vector<std::shared_ptr<Sleeper>> due);

  mutable std::mutex mutex_;
  TimePoint now_{};
  std::uint64_t lastSequence_ = 0;
  std::vector<std::shared_ptr<Sleeper>> sleepers_;
};

}  // namespace brindlet::runtime
