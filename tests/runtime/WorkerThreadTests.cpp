#include <gtest/gtest.h>

#include <thread>

#include <boost/asio/io_context.hpp>
#include <boost/asio/strand.hpp>
#include <boost/asio/thread_pool.hpp>
#include <boost/asio/use_future.hpp>

#include "runtime/WorkerThread.h"

namespace brindlet::runtime {
namespace {

namespace asio = boost::asio;

TEST(WorkerThread, OffloadRunsOnTheWorkerAndResumesOnTheCallersStrand) {
  WorkerThread worker("brindlet-test-worker");
  asio::thread_pool pool(4);
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

TEST(WorkerThread, OffloadCarriesExceptionsVoidAndMoveOnlyResultsBack) {
  WorkerThread worker("worker-with-a-name-too-long");
  asio::io_context io;
  auto calls = [&]() -> asio::awaitable<void> {
    EXPECT_THROW(
        co_await offload(worker.executor(), []() -> int { throw std::runtime_error("x"); }),
        std::runtime_error);
    bool ran = false;
    co_await offload(worker.executor(), [&] { ran = true; });
    EXPECT_TRUE(ran);
    auto owned = co_await offload(worker.executor(), [] { return std::make_unique<int>(5); });
    EXPECT_EQ(*owned, 5);
  };
  auto done = asio::co_spawn(io, calls(), asio::use_future);
  io.run();
  done.get();
}

TEST(WorkerThread, WorkLeftOnAStoppedWorkerFailsTheCaller) {
  asio::io_context io;
  auto worker = std::make_unique<WorkerThread>("stopping");
  worker->stop();
  worker->stop();
  auto call = [&]() -> asio::awaitable<int> {
    co_return co_await offload(worker->executor(), [] { return 1; });
  };
  auto result = asio::co_spawn(io, call(), asio::use_future);
  io.poll();
  worker.reset();
  io.run();
  EXPECT_THROW(result.get(), WorkerStopped);
}

}  // namespace
}  // namespace brindlet::runtime
