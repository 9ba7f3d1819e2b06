#pragma once

#include <atomic>
#include <exception>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <type_traits>
#include <utility>
#include <variant>

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/associated_executor.hpp>
#include <boost/asio/async_result.hpp>
#include <boost/asio/awaitable.hpp>
#include <boost/asio/execution/outstanding_work.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/prefer.hpp>
#include <boost/asio/use_awaitable.hpp>

namespace brindlet::runtime {

// A named thread running an event loop of its own, for work that blocks or must stay on one
// thread (the encoder, capture, a display connection). The loop runs until stop(), even when it
// has nothing to do; a handler that throws is logged and the loop goes on.
class WorkerThread {
 public:
  // Starts the thread; the name (cut to 15 bytes) is what ps and debuggers show.
  explicit WorkerThread(std::string name);
  ~WorkerThread();
  WorkerThread(const WorkerThread&) = delete;
  WorkerThread& operator=(const WorkerThread&) = delete;

  boost::asio::any_io_executor executor() const;
  // Whether the calling thread is this worker.
  bool isCurrent() const;
  // Ends the loop and joins the thread; work not yet run is dropped when the worker is destroyed.
  // Idempotent; must not be called from the worker itself.
  void stop();

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

// What an offloaded call throws when its worker was stopped before running it.
class WorkerStopped : public std::runtime_error {
 public:
  WorkerStopped() : std::runtime_error("worker stopped before running the work") {}
};

namespace detail {

template <class R>
using OffloadValue = std::conditional_t<std::is_void_v<R>, std::monostate, R>;
template <class R>
using OffloadOutcome = std::variant<OffloadValue<R>, std::exception_ptr>;

// The answer on its way to the caller. Posting it may go on waking the caller's loop after the
// answer is in its queue (a loop waiting on a condition variable is signalled after the queue's
// lock is released). It is handed over only once the worker has left that post, so that a caller
// may end its loop as soon as it has the answer; until then it yields its turn.
template <class Handler, class Outcome, class Executor>
struct OffloadAnswer {
  Handler handler;
  Outcome outcome;
  Executor work;  // the caller's, tracked: ends on the caller's side, after the answer
  std::shared_ptr<std::atomic<bool>> posted;

  void operator()() {
    if (!posted->load(std::memory_order_acquire)) {
      std::this_thread::yield();
      auto again = boost::asio::prefer(work, boost::asio::execution::outstanding_work.untracked);
      boost::asio::post(again, std::move(*this));
      return;
    }
    std::move(handler)(std::move(outcome));
  }
};

// The call on its way to the worker. It always answers the caller, on the caller's executor:
// with f's result, its exception, or WorkerStopped if it is destroyed without having run.
template <class F, class Handler>
class OffloadJob {
 public:
  using R = std::invoke_result_t<F>;
  using CallerExecutor =
      decltype(boost::asio::prefer(std::declval<boost::asio::associated_executor_t<Handler>>(),
                                   boost::asio::execution::outstanding_work.tracked));

  OffloadJob(F f, Handler handler)
      : f_(std::move(f)),
        caller_(boost::asio::prefer(boost::asio::get_associated_executor(handler),
                                    boost::asio::execution::outstanding_work.tracked)),
        handler_(std::move(handler)) {}
  OffloadJob(OffloadJob&& other)
      : f_(std::move(other.f_)),
        caller_(std::move(other.caller_)),
        handler_(std::move(other.handler_)) {
    other.handler_.reset();
  }
  OffloadJob& operator=(OffloadJob&&) = delete;
  ~OffloadJob() {
    if (handler_) answer(std::make_exception_ptr(WorkerStopped()));
  }

  void operator()() {
    std::exception_ptr error;
    try {
      if constexpr (std::is_void_v<R>) {
        f_();
        answer(std::monostate{});
      } else {
        answer(f_());
      }
      return;
    } catch (...) {
      error = std::current_exception();
    }
    // Answered once the catch has ended: the caller then holds the last reference, and the
    // exception is destroyed on the caller's side, after the caller has read it, never here.
    answer(std::move(error));
  }

 private:
  template <class V>
  void answer(V&& value) {
    // The caller's work is handed over with the answer and ends on the caller's side: were it to
    // end here, after the post, a caller that destroys its executor as soon as it has the answer
    // would race with this thread counting the work done.
    auto untracked =
        boost::asio::prefer(caller_, boost::asio::execution::outstanding_work.untracked);
    auto posted = std::make_shared<std::atomic<bool>>(false);
    OffloadAnswer<Handler, OffloadOutcome<R>, CallerExecutor> answer{
        std::move(*handler_), OffloadOutcome<R>(std::forward<V>(value)), std::move(caller_),
        posted};
    handler_.reset();
    boost::asio::post(untracked, std::move(answer));
    // Nothing of the caller's is touched after this.
    posted->store(true, std::memory_order_release);
  }

  F f_;
  CallerExecutor caller_;
  std::optional<Handler> handler_;
};

template <class F>
struct OffloadInitiation {
  boost::asio::any_io_executor worker;
  template <class Handler>
  void operator()(Handler&& handler, F f) const {
    boost::asio::post(
        worker, OffloadJob<F, std::decay_t<Handler>>(std::move(f), std::forward<Handler>(handler)));
  }
};

}  // namespace detail

// Runs f() on `worker` and resumes the caller on its own executor with f's result, or throws
// f's exception there. Cancelling the caller does not interrupt f.
template <class F>
boost::asio::awaitable<std::invoke_result_t<F>> offload(boost::asio::any_io_executor worker, F f) {
  using R = std::invoke_result_t<F>;
  using Outcome = detail::OffloadOutcome<R>;
  detail::OffloadInitiation<F> initiation{std::move(worker)};
  Outcome outcome =
      co_await boost::asio::async_initiate<decltype(boost::asio::use_awaitable), void(Outcome)>(
          initiation, boost::asio::use_awaitable, std::move(f));
  if (outcome.index() == 1) std::rethrow_exception(std::get<1>(outcome));
  if constexpr (!std::is_void_v<R>) co_return std::move(std::get<0>(outcome));
}

}  // namespace brindlet::runtime
