#include <gtest/gtest.h>

#include <thread>

#include <boost/asio/io_context.hpp>

#include "runtime/AsyncQueue.h"
#include "runtime/Clock.h"
#include "runtime/ManualClock.h"
#include "runtime/OneShot.h"
#include "runtime/Task.h"
#include "runtime/TaskGroup.h"
#include "runtime/Timeout.h"
#include "support/Loop.h"

namespace brindlet::runtime {
namespace {

using brindlet::testing::runUntilDone;

namespace asio = boost::asio;
using namespace std::chrono_literals;
using testing::drain;
using testing::runFor;

TEST(OneShot, FirstDeliveryWinsFromAnyThread) {
  struct Case {
    const char* name;
    std::function<void(OneShot<int>&)> deliver;
    std::optional<int> value;  // none: the wait throws
  };
  const Case cases[] = {
      {"resume", [](auto& s) { s.resume(7); }, 7},
      {"resume twice", [](auto& s) { s.resume(7), s.resume(8); }, 7},
      {"fail then resume", [](auto& s) { s.fail(std::runtime_error("x")), s.resume(8); }, {}},
      {"resume then fail", [](auto& s) { s.resume(9), s.fail(std::runtime_error("x")); }, 9},
  };
  for (const auto& c : cases) {
    for (bool early : {true, false}) {
      SCOPED_TRACE(std::string(c.name) + (early ? " before waiting" : " while waiting"));
      asio::io_context io;
      auto shot = OneShot<int>::make();
      if (early) c.deliver(*shot);
      std::thread deliverer;
      auto waiting = [&]() -> asio::awaitable<int> {
        if (!early) deliverer = std::thread([&] { c.deliver(*shot); });
        co_return co_await shot->wait();
      };
      if (c.value) {
        EXPECT_EQ(runUntilDone(io, waiting()), *c.value);
      } else {
        EXPECT_THROW(runUntilDone(io, waiting()), std::runtime_error);
      }
      if (deliverer.joinable()) deliverer.join();
    }
  }
}

TEST(OneShot, CancellingTheWaiterRunsTheCancelHandlerOrFails) {
  for (bool withHandler : {false, true}) {
    SCOPED_TRACE(withHandler ? "handler" : "no handler");
    asio::io_context io;
    auto shot = OneShot<int>::make();
    if (withHandler) shot->onCancel([&] { shot->resume(42); });
    std::optional<int> got;
    bool threwCancellation = false;
    auto body = [&]() -> asio::awaitable<void> {
      try {
        got = co_await shot->wait();
      } catch (...) {
        threwCancellation = isCancellation(std::current_exception());
      }
    };
    auto task = spawn(io.get_executor(), body());
    drain(io);
    task.cancel();
    io.run();
    EXPECT_TRUE(task.isCancelled());
    EXPECT_TRUE(task.isFinished());
    EXPECT_EQ(got, withHandler ? std::optional<int>(42) : std::nullopt);
    EXPECT_EQ(threwCancellation, !withHandler);
  }
}

TEST(Task, CancellingSetsTheFlagAndStopsTheTasksNextWait) {
  asio::io_context io;
  ManualClock clock;
  bool secondSleepStarted = false;
  auto body = [&]() -> asio::awaitable<void> {
    try {
      co_await clock.sleep(10s);
    } catch (...) {
    }
    secondSleepStarted = true;
    co_await clock.sleep(10s);
  };
  auto task = spawn(io.get_executor(), body());
  drain(io);
  EXPECT_EQ(clock.sleeperCount(), 1u);
  EXPECT_FALSE(task.isCancelled());
  task.cancel();
  io.run();
  EXPECT_TRUE(task.isCancelled());
  EXPECT_TRUE(task.isFinished());
  EXPECT_TRUE(secondSleepStarted);
  EXPECT_EQ(clock.sleeperCount(), 0u);
}

TEST(TaskGroup, CancelsAndJoinsAThousandTasks) {
  asio::io_context io;
  ManualClock clock;
  TaskGroup group(io.get_executor());
  int cancelled = 0;
  int finished = 0;
  auto sleeper = [](ManualClock& clock, Duration d) -> asio::awaitable<void> {
    co_await clock.sleep(d);
  };
  for (int i = 0; i < 1000; ++i) {
    group.spawn(sleeper(clock, 1h), [&](std::exception_ptr e) { cancelled += isCancellation(e); });
  }
  bool joined = false;
  auto joining = [&]() -> asio::awaitable<void> {
    co_await group.join();
    joined = true;
  };
  spawn(io.get_executor(), joining());
  // A task that ends normally leaves the group and is awaited like the others.
  auto quick = group.spawn(sleeper(clock, 1s), [&](std::exception_ptr e) { finished += !e; });
  runFor(io, clock, 1s);
  EXPECT_TRUE(quick.isFinished());
  EXPECT_EQ(finished, 1);
  EXPECT_EQ(group.size(), 1000u);
  EXPECT_FALSE(joined);
  group.cancelAll();
  drain(io);
  EXPECT_TRUE(joined);
  EXPECT_EQ(cancelled, 1000);
  EXPECT_EQ(group.size(), 0u);
  EXPECT_EQ(clock.sleeperCount(), 0u);
  // The end of a task that has ended, and of no task, comes at once.
  runUntilDone(io, quick.ended());
  runUntilDone(io, TaskHandle().ended());
}

TEST(Ticker, TicksOnMultiplesOfItsPeriodAndCountsWhatItMissed) {
  struct Case {
    const char* name;
    Duration period, work, span;
    std::vector<std::pair<Duration, std::uint64_t>> ticks;  // when, periods reported
  };
  const Case cases[] = {
      {"quarter second for a second",
       250ms,
       0ms,
       1s,
       {{250ms, 1}, {500ms, 1}, {750ms, 1}, {1s, 1}}},
      {"work inside the period does not drift",
       250ms,
       200ms,
       1s,
       {{250ms, 1}, {500ms, 1}, {750ms, 1}, {1s, 1}}},
      {"work longer than the period", 250ms, 600ms, 2s, {{250ms, 1}, {850ms, 2}, {1450ms, 2}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    asio::io_context io;
    auto clock = std::make_shared<ManualClock>();
    const auto start = clock->now();
    std::vector<std::pair<Duration, std::uint64_t>> ticks;
    auto ticking = [&]() -> asio::awaitable<void> {
      Ticker ticker(clock, c.period);
      for (;;) {
        auto periods = co_await ticker.next();
        ticks.emplace_back(clock->now() - start, periods);
        co_await clock->sleep(c.work);
      }
    };
    auto task = spawn(io.get_executor(), ticking());
    runFor(io, *clock, c.span);
    task.cancel();
    drain(io);
    EXPECT_EQ(ticks, c.ticks);
  }
}

TEST(AsyncQueue, EndingsAfterQueuedValues) {
  struct Case {
    const char* name;
    std::function<void(AsyncQueue<int>&)> end;
    std::vector<int> delivered;
    bool throws;
  };
  const Case cases[] = {
      {"finish", [](auto& q) { q.finish(); }, {1, 2}, false},
      {"finish with error",
       [](auto& q) { q.finish(std::make_exception_ptr(std::runtime_error("x"))); },
       {1, 2},
       true},
      {"consumer cancels", [](auto& q) { q.cancel(); }, {}, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    asio::io_context io;
    auto queue = AsyncQueue<int>::make();
    int terminations = 0;
    queue->onTermination([&] { ++terminations; });
    queue->push(1);
    queue->push(2);
    c.end(*queue);
    EXPECT_FALSE(queue->push(3));
    queue->finish();
    std::vector<int> got;
    int endings = 0;
    runUntilDone(io, [&]() -> asio::awaitable<void> {
      for (int i = 0; i < 4; ++i) {
        try {
          auto value = co_await queue->next();
          if (value) {
            got.push_back(*value);
          } else {
            ++endings;
          }
        } catch (const std::runtime_error&) {
          ++endings;
          EXPECT_TRUE(c.throws);
        }
      }
    }());
    EXPECT_EQ(got, c.delivered);
    EXPECT_EQ(endings, 4 - int(c.delivered.size()));  // the ending repeats on every call
    EXPECT_EQ(terminations, 1);
  }
}

TEST(AsyncQueue, ManyProducersLoseNothingAndACancelledWaitKeepsTheQueue) {
  asio::io_context io;
  auto queue = AsyncQueue<int>::make();
  auto body = [&]() -> asio::awaitable<void> {
    co_await queue->next();
    ADD_FAILURE() << "the cancelled wait got a value";
  };
  auto waiting = spawn(io.get_executor(), body());
  drain(io);
  waiting.cancel();
  io.run();

  constexpr int producers = 4, each = 1000;
  std::vector<std::thread> threads;
  for (int p = 0; p < producers; ++p) {
    threads.emplace_back([&, p] {
      for (int i = 0; i < each; ++i) queue->push(p * each + i);
    });
  }
  long sum = 0;
  int count = 0;
  runUntilDone(io, [&]() -> asio::awaitable<void> {
    while (count < producers * each) {
      sum += *co_await queue->next();
      ++count;
    }
  }());
  for (auto& t : threads) t.join();
  const long n = producers * each;
  EXPECT_EQ(sum, n * (n - 1) / 2);
}

// Bounded queues move their values: a type that cannot be copied.
using Value = std::unique_ptr<int>;

asio::awaitable<std::vector<int>> takeAll(std::shared_ptr<AsyncQueue<Value>> queue) {
  std::vector<int> taken;
  while (auto value = co_await queue->next()) taken.push_back(**value);
  co_return taken;
}

TEST(AsyncQueue, AFullQueueDropsOrRefusesAsItsMakerChose) {
  struct Case {
    std::optional<QueueBound> bound;
    bool thirdTaken;
    std::vector<int> left;
    std::size_t overflowed;
  };
  const Case cases[] = {
      {std::nullopt, true, {1, 2, 3}, 0},
      {QueueBound{2, Overflow::dropNewest}, true, {1, 2}, 1},
      {QueueBound{2, Overflow::dropOldest}, true, {2, 3}, 1},
      {QueueBound{2, Overflow::refuse}, false, {1, 2}, 1},
      {QueueBound{0, Overflow::dropOldest}, true, {}, 3},
  };
  for (const auto& c : cases) {
    asio::io_context io;
    auto queue = AsyncQueue<Value>::make(c.bound);
    queue->push(std::make_unique<int>(1));
    queue->push(std::make_unique<int>(2));
    EXPECT_EQ(queue->push(std::make_unique<int>(3)), c.thirdTaken);
    EXPECT_EQ(queue->overflowed(), c.overflowed);
    queue->finish();
    EXPECT_EQ(runUntilDone(io, takeAll(queue)), c.left);
  }
}

TEST(AsyncQueue, AWaitingConsumerTakesAValueEvenFromAFullBound) {
  asio::io_context io;
  auto queue = AsyncQueue<Value>::make(QueueBound{0, Overflow::refuse});
  std::vector<int> taken;
  spawn(io.get_executor(), [](auto queue, std::vector<int>& taken) -> asio::awaitable<void> {
    taken = co_await takeAll(queue);
  }(queue, taken));
  io.poll();
  io.restart();
  EXPECT_TRUE(queue->push(std::make_unique<int>(7)));
  io.poll();
  io.restart();
  queue->finish();
  io.run();
  EXPECT_EQ(taken, std::vector<int>{7});
}

TEST(ManualClock, WakesSleepersInDeadlineOrderOnlyWhenTimeComes) {
  asio::io_context io;
  ManualClock clock;
  std::vector<int> woke;
  for (auto [id, delay] : {std::pair{1, 3s}, {2, 1s}, {3, 2s}, {4, 1s}}) {
    spawn(io.get_executor(),
          [](ManualClock& c, std::vector<int>& w, int id, Duration d) -> asio::awaitable<void> {
            co_await c.sleep(d);
            w.push_back(id);
          }(clock, woke, id, delay));
  }
  drain(io);
  clock.advance(999ms);
  drain(io);
  EXPECT_TRUE(woke.empty());
  clock.advance(1s);
  drain(io);
  EXPECT_EQ(woke, (std::vector<int>{2, 4}));
  clock.advance(10s);
  drain(io);
  EXPECT_EQ(woke, (std::vector<int>{2, 4, 3, 1}));
  EXPECT_EQ(clock.sleeperCount(), 0u);
}

TEST(Within, ValueErrorOrTimeOut) {
  asio::io_context io;
  ManualClock clock;
  auto never = OneShot<int>::make();
  auto answer = OneShot<int>::make();
  answer->resume(5);
  auto broken = OneShot<int>::make();
  broken->fail(std::runtime_error("broken"));

  EXPECT_EQ(runUntilDone(io, within(clock, 1s, answer->wait())), std::optional<int>(5));
  EXPECT_THROW(runUntilDone(io, within(clock, 1s, broken->wait())), std::runtime_error);

  std::optional<std::optional<int>> timedOut;
  auto body = [&]() -> asio::awaitable<void> {
    timedOut = co_await within(clock, 2s, never->wait());
  };
  spawn(io.get_executor(), body());
  runFor(io, clock, 2s);
  ASSERT_TRUE(timedOut);
  EXPECT_EQ(*timedOut, std::nullopt);
}

}  // namespace
}  // namespace brindlet::runtime
