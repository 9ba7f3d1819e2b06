#include <gtest/gtest.h>

#include <atomic>
#include <deque>
#include <future>
#include <thread>

#include <boost/asio/io_context.hpp>
#include <boost/asio/strand.hpp>
#include <boost/asio/thread_pool.hpp>
#include <boost/asio/use_future.hpp>

#include "runtime/Log.h"
#include "runtime/LoopThread.h"
#include "runtime/MainLoop.h"
#include "runtime/SnapshotBridge.h"
#include "runtime/WorkerThread.h"
#include "support/Loop.h"

namespace brindlet::runtime {
namespace {

namespace asio = boost::asio;

TEST(WorkerThread, OffloadRunsOnTheWorkerAndResumesOnTheCallersStrand) {
  // The pool outlives the worker: the worker may still be inside its last post to the pool
  // (waking a pool thread) when that post's answer has already reached the test.
  asio::thread_pool pool(4);
  WorkerThread worker("brindlet-test-worker");
  constexpr int callers = 8;
  std::vector<std::future<int>> results;
  // The coroutine takes what it needs as parameters: a lambda's captures would die with it.
  auto caller = [](WorkerThread& worker, auto strand, int i) -> asio::awaitable<int> {
    int sum = 0;
    for (int round = 0; round < 50; ++round) {
      sum += co_await offload(worker.executor(), [&worker, i] {
        if (!worker.isCurrent()) throw std::logic_error("not on the worker");
        return i;
      });
      if (!strand.running_in_this_thread()) throw std::logic_error("resumed off the strand");
    }
    co_return sum;
  };
  for (int i = 0; i < callers; ++i) {
    auto strand = asio::make_strand(pool.get_executor());
    results.push_back(asio::co_spawn(strand, caller(worker, strand, i), asio::use_future));
  }
  for (int i = 0; i < callers; ++i) EXPECT_EQ(results[i].get(), 50 * i);
  EXPECT_FALSE(worker.isCurrent());
}

// Exceptions, no value and move-only values come back; work a stopped worker never ran fails.
TEST(WorkerThread, OffloadAnswersEveryCall) {
  auto worker = std::make_unique<WorkerThread>("worker-with-a-name-too-long");
  asio::io_context io;
  bool lastCall = false;
  auto calls = [&]() -> asio::awaitable<void> {
    EXPECT_THROW(
        co_await offload(worker->executor(), []() -> int { throw std::runtime_error("x"); }),
        std::runtime_error);
    bool ran = false;
    co_await offload(worker->executor(), [&] { ran = true; });
    EXPECT_TRUE(ran);
    auto owned = co_await offload(worker->executor(), [] { return std::make_unique<int>(5); });
    EXPECT_EQ(*owned, 5);
    worker->stop();
    worker->stop();
    lastCall = true;
    EXPECT_THROW(co_await offload(worker->executor(), [] { return 1; }), WorkerStopped);
  };
  auto done = asio::co_spawn(io, calls(), asio::use_future);
  // The last call waits on the stopped worker until destroying the worker drops it.
  while (done.wait_for(std::chrono::seconds(0)) != std::future_status::ready) {
    io.run_for(std::chrono::milliseconds(5));
    if (lastCall) worker.reset();
  }
  done.get();
}

// A caller may end its loop as soon as an offloaded call has answered, even when the answer
// woke the loop from a wait (a loop without timers or sockets waits on a condition variable,
// which the worker signals after it has queued the answer).
TEST(WorkerThread, ACallerMayEndItsLoopOnceAnswered) {
  WorkerThread worker("brindlet-test-worker");
  auto call = [](asio::any_io_executor on) -> asio::awaitable<int> {
    co_return co_await offload(std::move(on), [] {
      std::this_thread::sleep_for(std::chrono::microseconds(300));
      return 7;
    });
  };
  for (int round = 0; round < 300; ++round) {
    auto io = std::make_unique<asio::io_context>();
    ASSERT_EQ(testing::runUntilDone(*io, call(worker.executor())), 7);
    io.reset();
  }
}

TEST(LoopThread, OwnsTheLoopWhileItRunsAndSurvivesAFailingHandler) {
  MainLoop loop;
  LogCapture log;
  {
    LoopThread thread(loop);
    EXPECT_THROW(loop.poll(), std::logic_error);
    EXPECT_THROW(loop.drain(), std::logic_error);
    EXPECT_THROW(loop.run(), std::logic_error);
    EXPECT_THROW(LoopThread second(loop), std::logic_error);
    EXPECT_FALSE(thread.isCurrent());
    asio::post(loop.context(), [] { throw std::runtime_error("handler broke"); });
    std::promise<bool> onLoop;
    asio::post(loop.context(), [&] { onLoop.set_value(thread.isCurrent() && loop.isCurrent()); });
    EXPECT_TRUE(onLoop.get_future().get());
  }
  EXPECT_EQ(log.messages("runtime", LogLevel::error),
            std::vector<std::string>{"Thread brindlet-loop: a handler failed: handler broke"});
  bool ran = false;
  asio::post(loop.context(), [&] { ran = true; });
  loop.drain();
  EXPECT_TRUE(ran);
  // A stop that comes before the thread has entered the loop still ends it.
  for (int i = 0; i < 100; ++i) LoopThread(loop).stop();
}

TEST(SnapshotBridge, DeliversTheCurrentValueThenTheNewestOfEachBurst) {
  asio::io_context io;
  Observable<int> source(0);
  std::vector<int> got;
  auto post = [&io](std::function<void()> f) { asio::post(io, std::move(f)); };
  // It ends itself from inside a delivery: nothing comes after.
  SnapshotBridge<int>* self = nullptr;
  SnapshotBridge<int> bridge(source, post, [&](int v) {
    got.push_back(v);
    if (v == 3) self->end();
  });
  self = &bridge;
  source.set(1);
  source.set(2);
  testing::drain(io);
  source.set(3);
  testing::drain(io);
  source.set(4);
  testing::drain(io);
  EXPECT_EQ(got, (std::vector<int>{2, 3}));
}

TEST(OrderedBridge, DeliversEveryValueInOrderAndStopsAtItsEnd) {
  asio::io_context io;
  Observable<int> source(0);
  std::vector<int> got;
  auto post = [&io](std::function<void()> f) { asio::post(io, std::move(f)); };
  OrderedBridge<int>* self = nullptr;
  OrderedBridge<int> bridge(source, post, [&](int v) {
    got.push_back(v);
    if (v == 5) self->end();  // the values queued behind it are dropped
  });
  self = &bridge;
  for (int v : {1, 2, 1, 3}) source.set(v);
  testing::drain(io);
  for (int v : {4, 5, 6}) source.set(v);
  testing::drain(io);
  EXPECT_EQ(got, (std::vector<int>{0, 1, 2, 1, 3, 4, 5}));
}

// Ends subscriptions on one thread while another thread keeps setting the value: no callback may
// run once its end has returned.
TEST(SnapshotBridge, NeverCallsBackAfterItsEnd) {
  struct Round {
    std::atomic<bool> ended{false};
    std::atomic<int> calls{0};
    std::atomic<int> late{0};
    void call() {
      if (ended) ++late;
      ++calls;
    }
  };
  struct Case {
    const char* name;
    std::function<std::function<void()>(Observable<int>&, WorkerThread&, Round&)> subscribe;
  };
  const Case cases[] = {
      {"observable",
       [](Observable<int>& source, WorkerThread&, Round& round) {
         auto s = std::make_shared<Subscription>(source.subscribe([&round](int) { round.call(); }));
         return [s] { s->reset(); };
       }},
      {"bridge",
       [](Observable<int>& source, WorkerThread& target, Round& round) {
         auto post = [ex = target.executor()](std::function<void()> f) {
           asio::post(ex, std::move(f));
         };
         auto bridge =
             std::make_shared<SnapshotBridge<int>>(source, post, [&round](int) { round.call(); });
         return [bridge] { bridge->end(); };
       }},
      {"ordered bridge",
       [](Observable<int>& source, WorkerThread& target, Round& round) {
         auto post = [ex = target.executor()](std::function<void()> f) {
           asio::post(ex, std::move(f));
         };
         auto bridge =
             std::make_shared<OrderedBridge<int>>(source, post, [&round](int) { round.call(); });
         return [bridge] { bridge->end(); };
       }},
  };
  constexpr int rounds = 10'000;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Observable<int> source(0);
    WorkerThread target("bridge-target");
    std::atomic<bool> done{false};
    std::thread setter([&] {
      for (int v = 1; !done; ++v) source.set(v);
    });
    std::deque<Round> results(rounds);
    int called = 0;
    for (auto& round : results) {
      auto end = c.subscribe(source, target, round);
      for (int spin = 0; spin < 10 && round.calls == 0; ++spin) std::this_thread::yield();
      end();
      round.ended = true;
      called += round.calls > 0;
    }
    done = true;
    setter.join();
    target.stop();
    int late = 0;
    for (auto& round : results) late += round.late;
    EXPECT_EQ(late, 0);
    EXPECT_GT(called, 0);
  }
}

}  // namespace
}  // namespace brindlet::runtime
