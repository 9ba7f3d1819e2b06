#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <optional>
#include <utility>

namespace brindlet::runtime {

// Hands values from one producer thread to one consumer thread, newest first: a value put before
// the consumer took the previous one displaces it, and the producer gets the displaced value back
// (to recycle its buffer). Neither side waits for the other or allocates.
//
// Three cells: the producer writes into its own, then swaps it with the shared middle cell; the
// consumer swaps its own with the middle when the middle holds a value it has not taken.
template <class T>
class LatestSlot {
 public:
  LatestSlot() = default;
  LatestSlot(const LatestSlot&) = delete;
  LatestSlot& operator=(const LatestSlot&) = delete;

  // Producer only. Returns the value that had not been taken, if any; none means the slot was
  // empty, so the consumer needs telling that a value is there.
  std::optional<T> put(T value) {
    cells_[producer_] = std::move(value);
    std::uint8_t previous =
        middle_.exchange(std::uint8_t(producer_ | fresh), std::memory_order_acq_rel);
    producer_ = previous & index;
    std::optional<T> displaced;
    if (previous & fresh) displaced.swap(cells_[producer_]);
    return displaced;
  }

  // Consumer only. Takes the newest value, if one was put since the last take.
  std::optional<T> take() {
    if (!(middle_.load(std::memory_order_relaxed) & fresh)) return std::nullopt;
    std::uint8_t previous = middle_.exchange(consumer_, std::memory_order_acq_rel);
    consumer_ = previous & index;
    std::optional<T> value;
    value.swap(cells_[consumer_]);
    return value;
  }

 private:
  static constexpr std::uint8_t index = 0x3;
  static constexpr std::uint8_t fresh = 0x4;

  std::array<std::optional<T>, 3> cells_;
  alignas(64) std::atomic<std::uint8_t> middle_{1};
  alignas(64) std::uint8_t producer_ = 0;
  alignas(64) std::uint8_t consumer_ = 2;
};

}  // namespace brindlet::runtime
