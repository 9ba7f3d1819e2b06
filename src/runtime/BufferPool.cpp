#include "runtime/BufferPool.h"

#include <new>
#include <stdexcept>

namespace brindlet::runtime {
namespace {

// Cache-line aligned, so that the payload of a buffer whose headroom is a multiple of 64 copies
// at full speed.
constexpr std::align_val_t alignment{64};

}  // namespace

BufferPool::Buffer::Buffer(std::shared_ptr<BufferPool> pool, std::byte* data)
    : pool_(std::move(pool)), data_(data), headroom_(pool_->headroom_), size_(pool_->size_) {}

BufferPool::Buffer::Buffer(Buffer&& other) noexcept
    : pool_(std::move(other.pool_)),
      data_(std::exchange(other.data_, nullptr)),
      headroom_(other.headroom_),
      size_(other.size_) {}

BufferPool::Buffer& BufferPool::Buffer::operator=(Buffer&& other) noexcept {
  if (this != &other) {
    release();
    pool_ = std::move(other.pool_);
    data_ = std::exchange(other.data_, nullptr);
    headroom_ = other.headroom_;
    size_ = other.size_;
  }
  return *this;
}

BufferPool::Buffer::~Buffer() {
  release();
}

void BufferPool::Buffer::release() {
  if (data_) pool_->giveBack(std::exchange(data_, nullptr));
  pool_.reset();
}

std::span<std::byte> BufferPool::Buffer::withHeader(std::size_t headerSize) const {
  if (headerSize > headroom_)
    throw std::length_error("frame header larger than the buffer's headroom");
  return {data_ + headroom_ - headerSize, headerSize + size_};
}

std::shared_ptr<BufferPool> BufferPool::make(std::size_t size, std::size_t headroom,
                                             std::size_t count) {
  return std::shared_ptr<BufferPool>(new BufferPool(size, headroom, count));
}

BufferPool::BufferPool(std::size_t size, std::size_t headroom, std::size_t count)
    : size_(size), headroom_(headroom) {
  all_.reserve(count);
  free_.reserve(count);
  for (std::size_t i = 0; i < count; ++i) {
    all_.push_back(static_cast<std::byte*>(::operator new(headroom + size, alignment)));
    free_.push_back(all_.back());
  }
}

BufferPool::~BufferPool() {
  for (auto* data : all_) ::operator delete(data, alignment);
}

BufferPool::Buffer BufferPool::acquire() {
  std::byte* data = nullptr;
  {
    std::lock_guard lock(mutex_);
    if (free_.empty()) return {};
    data = free_.back();
    free_.pop_back();
  }
  return Buffer(shared_from_this(), data);
}

std::size_t BufferPool::freeCount() const {
  std::lock_guard lock(mutex_);
  return free_.size();
}

void BufferPool::giveBack(std::byte* data) {
  std::lock_guard lock(mutex_);
  free_.push_back(data);
}

}  // namespace brindlet::runtime
