#pragma once

#include <array>
#include <cstddef>
#include <memory>
#include <mutex>
#include <span>
#include <utility>
#include <vector>

#include "runtime/Bytes.h"

namespace brindlet::runtime {

// A few buffers of one size, made once and handed out again and again, so that frames move
// between threads without an allocation per frame. Each buffer keeps `headroom` bytes in front of
// its payload, so a frame header can be written there and the whole sent without a copy.
// Buffers go back to the pool when their handle is destroyed, on any thread; they keep the pool
// alive.
class BufferPool : public std::enable_shared_from_this<BufferPool> {
 public:
  class Buffer {
   public:
    Buffer() = default;
    Buffer(Buffer&& other) noexcept;
    Buffer& operator=(Buffer&& other) noexcept;
    ~Buffer();

    explicit operator bool() const { return data_ != nullptr; }
    // The payload: the pool's buffer size.
    std::span<std::byte> payload() const { return {data_ + headroom_, size_}; }
    // The last `headerSize` bytes of the headroom followed by the payload.
    std::span<std::byte> withHeader(std::size_t headerSize) const;
    std::size_t headroom() const { return headroom_; }

   private:
    friend class BufferPool;
    Buffer(std::shared_ptr<BufferPool> pool, std::byte* data);
    void release();

    std::shared_ptr<BufferPool> pool_;
    std::byte* data_ = nullptr;
    std::size_t headroom_ = 0;
    std::size_t size_ = 0;
  };

  static std::shared_ptr<BufferPool> make(std::size_t size, std::size_t headroom,
                                          std::size_t count);
  ~BufferPool();

  // A free buffer, or an empty handle when all are in use (the caller drops or waits).
  Buffer acquire();
  std::size_t size() const { return size_; }
  std::size_t freeCount() const;

 private:
  BufferPool(std::size_t size, std::size_t headroom, std::size_t count);
  void giveBack(std::byte* data);

  std::size_t size_;
  std::size_t headroom_;
  std::vector<std::byte*> all_;
  mutable std::mutex mutex_;
  std::vector<std::byte*> free_;
};

// Bytes filled into a pool buffer: its first `size()` payload bytes, possibly grown into the
// headroom in front by a header. They travel between threads and out to a stream without a copy;
// the buffer goes back to its pool when the last holder lets go.
class PooledBytes {
 public:
  PooledBytes() = default;
  // The first `size` bytes of the buffer's payload; `size` must fit.
  PooledBytes(BufferPool::Buffer buffer, std::size_t size);
  // A buffer of its own, with `headroom` in front, holding a copy of `bytes`: for bytes that no
  // pool buffer fits. One allocation.
  static PooledBytes oneOff(ByteView bytes, std::size_t headroom);
  PooledBytes(PooledBytes&& other) noexcept
      : buffer_(std::move(other.buffer_)),
        data_(std::exchange(other.data_, nullptr)),
        size_(std::exchange(other.size_, 0)),
        oneOff_(other.oneOff_) {}
  PooledBytes& operator=(PooledBytes&& other) noexcept {
    buffer_ = std::move(other.buffer_);
    data_ = std::exchange(other.data_, nullptr);
    size_ = std::exchange(other.size_, 0);
    oneOff_ = other.oneOff_;
    return *this;
  }

  std::size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  ByteView view() const { return {data_, size_}; }
  const std::uint8_t* data() const { return data_; }
  // The headroom left in front of the bytes.
  std::size_t roomInFront() const;
  // Whether the bytes have a buffer of their own rather than a pool's.
  bool isOneOff() const { return oneOff_; }
  // The bytes take in `n` more of the headroom in front; returns those n bytes, for the caller
  // to fill. Throws std::length_error when the headroom left is smaller.
  std::span<std::uint8_t> prepend(std::size_t n);

 private:
  BufferPool::Buffer buffer_;
  std::uint8_t* data_ = nullptr;
  std::size_t size_ = 0;
  bool oneOff_ = false;
};

// Memory for the small objects that carry a write or a completion from one thread to the next
// (handlers, their records, posted functions, socket operations): blocks in a few sizes, handed
// out again once given back, from any thread, so that a steady stream of frames allocates nothing
// once warm. A request larger than the largest block goes to the heap. The blocks are freed with
// the last holder.
class HandlerMemory {
 public:
  static constexpr std::size_t kSmallestBlock = 128;
  static constexpr std::size_t kSizes = 6;  // up to 4 KiB

  HandlerMemory() = default;
  HandlerMemory(const HandlerMemory&) = delete;
  HandlerMemory& operator=(const HandlerMemory&) = delete;
  ~HandlerMemory();

  void* allocate(std::size_t size);
  void deallocate(void* block, std::size_t size);

 private:
  // The size class that takes `size` bytes, or kSizes for none.
  static std::size_t classOf(std::size_t size);

  std::mutex mutex_;
  std::array<std::vector<void*>, kSizes> free_;
  std::array<std::size_t, kSizes> made_{};
};

// A standard allocator over a HandlerMemory that it keeps alive: bound to a handler or a posted
// function, it recycles that memory.
template <class T>
class HandlerAllocator {
 public:
  using value_type = T;

  explicit HandlerAllocator(std::shared_ptr<HandlerMemory> memory) : memory_(std::move(memory)) {}
  template <class U>
  HandlerAllocator(const HandlerAllocator<U>& other) : memory_(other.memory()) {}

  T* allocate(std::size_t n) { return static_cast<T*>(memory_->allocate(n * sizeof(T))); }
  void deallocate(T* p, std::size_t n) { memory_->deallocate(p, n * sizeof(T)); }
  const std::shared_ptr<HandlerMemory>& memory() const { return memory_; }

  template <class U>
  bool operator==(const HandlerAllocator<U>& other) const {
    return memory_ == other.memory();
  }

 private:
  std::shared_ptr<HandlerMemory> memory_;
};

}  // namespace brindlet::runtime
