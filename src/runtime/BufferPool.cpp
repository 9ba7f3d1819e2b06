#include "runtime/BufferPool.h"

#include <algorithm>
#include <cstring>
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

PooledBytes::PooledBytes(BufferPool::Buffer buffer, std::size_t size)
    : buffer_(std::move(buffer)),
      data_(reinterpret_cast<std::uint8_t*>(buffer_.payload().data())),
      size_(size) {
  if (size > buffer_.payload().size()) throw std::length_error("more bytes than the buffer holds");
}

PooledBytes PooledBytes::oneOff(ByteView bytes, std::size_t headroom) {
  auto buffer = BufferPool::make(bytes.size(), headroom, 1)->acquire();
  if (!bytes.empty()) std::memcpy(buffer.payload().data(), bytes.data(), bytes.size());
  PooledBytes out(std::move(buffer), bytes.size());
  out.oneOff_ = true;
  return out;
}

std::size_t PooledBytes::roomInFront() const {
  if (data_ == nullptr) return 0;
  const auto* payload = reinterpret_cast<const std::uint8_t*>(buffer_.payload().data());
  return std::size_t(data_ - payload) + buffer_.headroom();
}

std::span<std::uint8_t> PooledBytes::prepend(std::size_t n) {
  if (roomInFront() < n) throw std::length_error("no room in front of the bytes");
  data_ -= n;
  size_ += n;
  return {data_, n};
}

HandlerMemory::~HandlerMemory() {
  for (auto& blocks : free_) {
    for (void* block : blocks) ::operator delete(block);
  }
}

std::size_t HandlerMemory::classOf(std::size_t size) {
  std::size_t c = 0;
  for (std::size_t block = kSmallestBlock; c < kSizes && block < size; block *= 2) ++c;
  return c;
}

void* HandlerMemory::allocate(std::size_t size) {
  const std::size_t c = classOf(size);
  if (c == kSizes) return ::operator new(size);
  {
    std::lock_guard lock(mutex_);
    auto& blocks = free_[c];
    if (!blocks.empty()) {
      void* block = blocks.back();
      blocks.pop_back();
      return block;
    }
    // Room for every block of its size made so far, so that giving one back never allocates.
    if (++made_[c] > blocks.capacity()) blocks.reserve(std::max<std::size_t>(16, 2 * made_[c]));
  }
  return ::operator new(kSmallestBlock << c);
}

void HandlerMemory::deallocate(void* block, std::size_t size) {
  const std::size_t c = classOf(size);
  if (c < kSizes) {
    std::lock_guard lock(mutex_);
    auto& blocks = free_[c];
    if (blocks.size() < blocks.capacity()) {
      blocks.push_back(block);
      return;
    }
  }
  ::operator delete(block);
}

}  // namespace brindlet::runtime
