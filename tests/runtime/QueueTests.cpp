// Bounded queues and the one-shot hand-over move their values: the tests use a type that
// cannot be copied.

#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include <boost/asio/io_context.hpp>

#include "runtime/AsyncQueue.h"
#include "runtime/Task.h"
#include "support/Loop.h"

namespace brindlet::runtime {
namespace {

namespace asio = boost::asio;
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

}  // namespace
}  // namespace brindlet::runtime
