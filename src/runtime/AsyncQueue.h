#pragma once

#include <deque>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>

#include <boost/asio/awaitable.hpp>

#include "runtime/OneShot.h"

namespace brindlet::runtime {

// What a bounded queue does with a value that finds it full.
enum class Overflow {
  dropNewest,  // the new value is dropped; push still reports it taken
  dropOldest,  // the oldest queued value makes room
  refuse,      // push reports false and the value is dropped
};

// A queue holds at most `capacity` values that the consumer has not taken yet.
struct QueueBound {
  std::size_t capacity;
  Overflow overflow;
};

// A stream of values from any number of producers to one consumer, unbounded unless made with a
// bound. Finishing (with or without an error) lets the consumer take what is queued, then ends
// the stream. The termination callback runs once, when the stream is finished or the consumer
// cancels it. Values are moved in and out, never copied.
template <class T>
class AsyncQueue : public std::enable_shared_from_this<AsyncQueue<T>> {
 public:
  static std::shared_ptr<AsyncQueue> make(std::optional<QueueBound> bound = std::nullopt) {
    return std::shared_ptr<AsyncQueue>(new AsyncQueue(bound));
  }

  // Queues a value; false (and the value is dropped) once the stream is finished, or when a
  // full queue refuses it.
  bool push(T value) {
    std::shared_ptr<OneShot<std::optional<T>>> waiter;
    {
      std::lock_guard lock(mutex_);
      if (finished_) return false;
      if (waiter_) {
        waiter = std::move(waiter_);
      } else {
        return queue(std::move(value));
      }
    }
    waiter->resume(std::move(value));
    return true;
  }

  // How many values a full queue has dropped or refused so far.
  std::size_t overflowed() const {
    std::lock_guard lock(mutex_);
    return overflowed_;
  }

  // Ends the stream after the queued values; with an error, the consumer gets it after them.
  void finish(std::exception_ptr error = nullptr) { end(error, false); }

  // The consumer gives up: queued values are dropped and the stream ends.
  void cancel() { end(nullptr, true); }

  void onTermination(std::function<void()> callback) {
    std::lock_guard lock(mutex_);
    onTermination_ = std::move(callback);
  }

  bool isFinished() const {
    std::lock_guard lock(mutex_);
    return finished_;
  }

  // The next value, or nothing once the stream has ended; throws the finishing error instead of
  // ending when there is one (every time it is called). Cancelling a waiting call leaves the
  // queue intact. One consumer at a time.
  boost::asio::awaitable<std::optional<T>> next() {
    auto shot = OneShot<std::optional<T>>::make();
    {
      std::lock_guard lock(mutex_);
      if (!items_.empty()) {
        T value = std::move(items_.front());
        items_.pop_front();
        co_return std::optional<T>(std::move(value));
      }
      if (finished_) {
        if (error_) std::rethrow_exception(error_);
        co_return std::nullopt;
      }
      if (waiter_) throw std::logic_error("AsyncQueue already has a consumer waiting");
      waiter_ = shot;
    }
    std::weak_ptr<AsyncQueue> weak = this->shared_from_this();
    std::weak_ptr<OneShot<std::optional<T>>> weakShot = shot;
    shot->onCancel([weak, weakShot] {
      auto self = weak.lock();
      auto shot = weakShot.lock();
      if (!self || !shot) return;
      {
        std::lock_guard lock(self->mutex_);
        if (self->waiter_ != shot) return;
        self->waiter_.reset();
      }
      shot->fail(cancellationError());
    });
    co_return co_await shot->wait();
  }

 private:
  explicit AsyncQueue(std::optional<QueueBound> bound) : bound_(bound) {}

  // With the lock held.
  bool queue(T value) {
    if (bound_ && items_.size() >= bound_->capacity) {
      ++overflowed_;
      switch (bound_->overflow) {
        case Overflow::dropNewest:
          return true;
        case Overflow::refuse:
          return false;
        case Overflow::dropOldest:
          if (items_.empty()) return true;  // a capacity of 0 keeps nothing
          items_.pop_front();
          break;
      }
    }
    items_.push_back(std::move(value));
    return true;
  }

  void end(std::exception_ptr error, bool dropItems) {
    std::shared_ptr<OneShot<std::optional<T>>> waiter;
    std::function<void()> callback;
    {
      std::lock_guard lock(mutex_);
      if (dropItems) items_.clear();
      if (finished_) return;
      finished_ = true;
      error_ = error;
      waiter = std::move(waiter_);
      callback = std::move(onTermination_);
    }
    if (waiter) {
      if (error) {
        waiter->fail(error);
      } else {
        waiter->resume(std::nullopt);
      }
    }
    if (callback) callback();
  }

  const std::optional<QueueBound> bound_;
  mutable std::mutex mutex_;
  std::deque<T> items_;
  std::size_t overflowed_ = 0;
  bool finished_ = false;
  std::exception_ptr error_;
  std::shared_ptr<OneShot<std::optional<T>>> waiter_;
  std::function<void()> onTermination_;
};

}  // namespace brindlet::runtime
