#pragma once

#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <utility>
#include <variant>

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/associated_cancellation_slot.hpp>
#include <boost/asio/associated_executor.hpp>
#include <boost/asio/async_result.hpp>
#include <boost/asio/awaitable.hpp>
#include <boost/asio/dispatch.hpp>
#include <boost/asio/error.hpp>
#include <boost/asio/execution/outstanding_work.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/prefer.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/system/system_error.hpp>

namespace brindlet::runtime {

// The error a cancelled wait throws: asio's own "operation aborted".
inline std::exception_ptr cancellationError() {
  return std::make_exception_ptr(
      boost::system::system_error(boost::asio::error::operation_aborted));
}

// Whether an exception is asio's cancellation error.
inline bool isCancellation(const std::exception_ptr& error) {
  try {
    std::rethrow_exception(error);
  } catch (const boost::system::system_error& e) {
    return e.code() == boost::asio::error::operation_aborted;
  } catch (...) {
    return false;
  }
}

// A value delivered exactly once, from any thread, to one waiting coroutine, which resumes on its
// own executor. The first `resume` or `fail` wins; later ones are ignored. Cancelling the
// waiting coroutine calls the cancellation handler if one is set (it decides what to deliver),
// else fails the wait with the cancellation error. Use `OneShot<std::monostate>` for no value.
template <class T>
class OneShot : public std::enable_shared_from_this<OneShot<T>> {
 public:
  using Signature = void(std::exception_ptr, T);

  static std::shared_ptr<OneShot> make() { return std::shared_ptr<OneShot>(new OneShot()); }

  bool resume(T value) { return deliver(Result(std::in_place_index<0>, std::move(value))); }
  // The same, for a caller that is itself a completion and holds no lock: a waiter on the
  // caller's own loop runs inside this call instead of after a trip through the loop.
  bool resumeNow(T value) {
    return deliver(Result(std::in_place_index<0>, std::move(value)), true);
  }
  bool fail(std::exception_ptr error) {
    return deliver(Result(std::in_place_index<1>, std::move(error)));
  }
  template <class E>
  bool fail(E error) {
    return fail(std::make_exception_ptr(std::move(error)));
  }

  bool isDone() const {
    std::lock_guard lock(mutex_);
    return delivered_;
  }

  void onCancel(std::function<void()> handler) {
    std::lock_guard lock(mutex_);
    cancelHandler_ = std::move(handler);
  }

  // Waits for the value; throws the delivered error. Only one coroutine may wait.
  boost::asio::awaitable<T> wait() {
    return boost::asio::async_initiate<decltype(boost::asio::use_awaitable), Signature>(
        Initiate{this->shared_from_this()}, boost::asio::use_awaitable);
  }

 private:
  using Result = std::variant<T, std::exception_ptr>;
  // The parked coroutine's completion handler, type-erased.
  struct Parked {
    virtual ~Parked() = default;
    virtual void complete(std::exception_ptr error, T value) = 0;
  };
  template <class H>
  struct ParkedHandler : Parked {
    explicit ParkedHandler(H h) : handler(std::move(h)) {}
    void complete(std::exception_ptr error, T value) override {
      boost::asio::get_associated_cancellation_slot(handler).clear();
      std::move(handler)(error, std::move(value));
    }
    H handler;
  };

  OneShot() = default;

  // Not a lambda inside a coroutine: g++ 12 destroys such temporaries twice.
  struct Initiate {
    std::shared_ptr<OneShot> self;
    template <class H>
    void operator()(H&& handler) {
      boost::asio::any_io_executor executor = boost::asio::get_associated_executor(handler);
      self->park(std::forward<H>(handler), std::move(executor));
    }
  };

  template <class H>
  void park(H&& handler, boost::asio::any_io_executor executor) {
    auto slot = boost::asio::get_associated_cancellation_slot(handler);
    if (slot.is_connected()) {
      std::weak_ptr<OneShot> weak = this->shared_from_this();
      slot.assign([weak](boost::asio::cancellation_type) {
        if (auto self = weak.lock()) self->cancelled();
      });
    }
    std::unique_lock lock(mutex_);
    if (handler_) throw std::logic_error("OneShot already has a waiter");
    handler_ = std::make_unique<ParkedHandler<std::decay_t<H>>>(std::forward<H>(handler));
    // A parked waiter is outstanding work: its loop keeps running until it is resumed.
    executor_ =
        boost::asio::prefer(std::move(executor), boost::asio::execution::outstanding_work.tracked);
    if (result_) complete(lock, false);
  }

  bool deliver(Result result, bool inCaller = false) {
    std::unique_lock lock(mutex_);
    if (delivered_) return false;
    delivered_ = true;
    result_ = std::move(result);
    if (handler_) complete(lock, inCaller);
    return true;
  }

  // Moves the stored result to the waiter's executor; called with the lock held once both are
  // there. The cancellation slot is cleared on that executor, where cancellation is emitted.
  void complete(std::unique_lock<std::mutex>& lock, bool inCaller) {
    std::unique_ptr<Parked> handler = std::move(handler_);
    Result result = std::move(*result_);
    result_.reset();
    auto executor = std::move(executor_);
    executor_ = {};
    lock.unlock();
    auto run = [handler = std::move(handler), result = std::move(result)]() mutable {
      if (result.index() == 0) {
        handler->complete(nullptr, std::move(std::get<0>(result)));
      } else {
        handler->complete(std::get<1>(result), T{});
      }
    };
    if (inCaller) {
      boost::asio::dispatch(executor, std::move(run));
    } else {
      boost::asio::post(executor, std::move(run));
    }
  }

  void cancelled() {
    std::function<void()> handler;
    {
      std::lock_guard lock(mutex_);
      handler = cancelHandler_;
    }
    if (handler) {
      handler();
    } else {
      fail(cancellationError());
    }
  }

  mutable std::mutex mutex_;
  bool delivered_ = false;
  std::optional<Result> result_;  // until it is handed to the waiter
  std::unique_ptr<Parked> handler_;
  boost::asio::any_io_executor executor_;
  std::function<void()> cancelHandler_;
};

}  // namespace brindlet::runtime
