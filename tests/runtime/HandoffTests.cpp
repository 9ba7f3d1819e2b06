#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <memory>
#include <thread>
#include <vector>

#include "runtime/BufferPool.h"
#include "runtime/LatestSlot.h"

namespace brindlet::runtime {
namespace {

void spinFor(std::chrono::microseconds duration) {
  auto end = std::chrono::steady_clock::now() + duration;
  while (std::chrono::steady_clock::now() < end) {
  }
}

// The producer puts ten values in the time the consumer takes one. Every value comes out exactly
// once, either to the consumer or back to the producer as displaced; the consumer sees them in
// order and ends with the newest.
TEST(LatestSlot, KeepsTheNewestForASlowerConsumerAndAccountsForEveryValue) {
  constexpr int count = 20'000;
  LatestSlot<int> slot;
  std::vector<int> displaced;
  std::vector<int> taken;
  std::atomic<bool> producing{true};
  std::thread consumer([&] {
    for (;;) {
      bool last = !producing;
      if (auto value = slot.take()) taken.push_back(*value);
      if (last) return;
      spinFor(std::chrono::microseconds(20));
    }
  });
  for (int i = 0; i < count; ++i) {
    if (auto old = slot.put(i)) displaced.push_back(*old);
    spinFor(std::chrono::microseconds(2));
  }
  producing = false;
  consumer.join();

  std::vector<int> seen(count, 0);
  for (int v : displaced) ++seen[v];
  for (int v : taken) ++seen[v];
  EXPECT_EQ(std::count(seen.begin(), seen.end(), 1), count);
  EXPECT_TRUE(std::is_sorted(taken.begin(), taken.end()));
  ASSERT_FALSE(taken.empty());
  EXPECT_EQ(taken.back(), count - 1);
  EXPECT_GT(displaced.size(), taken.size());
}

TEST(BufferPool, HandsOutAFewBuffersAgainAndAgainWithRoomForAHeader) {
  auto pool = BufferPool::make(4096, 64, 2);
  auto a = pool->acquire();
  auto b = pool->acquire();
  ASSERT_TRUE(a && b);
  EXPECT_FALSE(pool->acquire());
  EXPECT_EQ(a.payload().size(), 4096u);
  EXPECT_EQ(reinterpret_cast<std::uintptr_t>(a.payload().data()) % 64, 0u);
  auto framed = a.withHeader(12);
  EXPECT_EQ(framed.size(), 12u + 4096u);
  EXPECT_EQ(framed.data() + 12, a.payload().data());
  EXPECT_THROW(a.withHeader(65), std::length_error);

  auto* storage = a.payload().data();
  a = {};
  EXPECT_EQ(pool->freeCount(), 1u);
  auto again = pool->acquire();
  EXPECT_EQ(again.payload().data(), storage);
  // A buffer outlives the pool's owner and goes back on whatever thread drops it.
  pool.reset();
  std::thread([buffer = std::move(b)] {}).join();
  again.payload()[0] = std::byte{1};
}

TEST(PooledBytes, GrowIntoTheRoomInFrontAndGoBackWithTheirBuffer) {
  auto pool = BufferPool::make(100, 6, 1);
  PooledBytes bytes(pool->acquire(), 40);
  EXPECT_EQ(bytes.size(), 40u);
  EXPECT_EQ(bytes.roomInFront(), 6u);
  EXPECT_FALSE(bytes.isOneOff());
  const auto* payload = bytes.data();
  const auto header = bytes.prepend(6);
  EXPECT_EQ(header.data() + 6, payload);
  EXPECT_EQ(bytes.data(), header.data());
  EXPECT_EQ(bytes.size(), 46u);
  EXPECT_THROW(bytes.prepend(1), std::length_error);
  EXPECT_THROW(PooledBytes(pool->acquire(), 101), std::length_error);

  PooledBytes moved = std::move(bytes);
  EXPECT_TRUE(bytes.empty());
  EXPECT_EQ(pool->freeCount(), 0u);
  moved = {};
  EXPECT_EQ(pool->freeCount(), 1u);

  const Bytes text = {1, 2, 3};
  const auto own = PooledBytes::oneOff(text, 6);
  EXPECT_TRUE(own.isOneOff());
  EXPECT_EQ(Bytes(own.view().begin(), own.view().end()), text);
  EXPECT_EQ(own.roomInFront(), 6u);
}

// Each block comes back for a request of its size class, whichever thread gave it back; a
// request beyond the largest class is the heap's.
TEST(HandlerMemory, HandsBlocksOutAgainAcrossThreads) {
  auto memory = std::make_shared<HandlerMemory>();
  HandlerAllocator<std::byte> allocator(memory);
  const struct {
    std::size_t size, sameClass;
  } cases[] = {{1, 128}, {128, 100}, {129, 256}, {700, 1024}, {4096, 3000}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.size);
    std::byte* block = allocator.allocate(c.size);
    std::memset(block, 1, c.size);
    std::thread([&] { allocator.deallocate(block, c.size); }).join();
    std::byte* again = allocator.allocate(c.sameClass);
    EXPECT_EQ(again, block);
    std::byte* another = allocator.allocate(c.size);
    EXPECT_NE(another, block);
    allocator.deallocate(again, c.sameClass);
    allocator.deallocate(another, c.size);
  }
  // Two blocks of 128 bytes are free now: a larger request takes neither.
  std::byte* small = allocator.allocate(128);
  std::byte* larger = allocator.allocate(129);
  EXPECT_NE(small, larger);
  allocator.deallocate(small, 128);
  allocator.deallocate(larger, 129);
  std::byte* huge = allocator.allocate(8192);
  std::memset(huge, 2, 8192);
  allocator.deallocate(huge, 8192);
  // The allocator keeps its memory alive.
  memory.reset();
  allocator.deallocate(allocator.allocate(64), 64);
}

}  // namespace
}  // namespace brindlet::runtime
