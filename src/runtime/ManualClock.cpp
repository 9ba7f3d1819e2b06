#include "runtime/ManualClock.h"

#include <algorithm>
#include <variant>

#include "runtime/OneShot.h"

namespace brindlet::runtime {

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

}  // namespace brindlet::runtime
