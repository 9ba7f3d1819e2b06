#pragma once

#include <cstddef>
#include <memory>
#include <mutex>
#include <span>
#include <vector>

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

}  // namespace brindlet::runtime
