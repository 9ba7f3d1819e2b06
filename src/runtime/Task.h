#pragma once

#include <atomic>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <utility>
#include <variant>
#include <vector>

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/awaitable.hpp>
#include <boost/asio/bind_cancellation_slot.hpp>
#include <boost/asio/cancellation_signal.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/this_coro.hpp>

namespace brindlet::runtime {

class MainLoop;
template <class T>
class OneShot;

// A spawned task that can be cancelled. Cancelling sets the task's cancelled flag and cancels
// the operation it is waiting on (terminal cancellation, delivered on the task's executor); every
// later co_await of the task then throws the cancellation error, so a cancelled task stops at
// its next wait or sleep.
class TaskHandle {
 public:
  TaskHandle() = default;

  explicit operator bool() const { return shared_ != nullptr; }
  void cancel() const;
  bool isCancelled() const { return shared_ && shared_->cancelled.load(); }
  bool isFinished() const { return shared_ && shared_->finished.load(); }
  // Waits until the task has ended, however it ended (at once for an empty handle). Cancelling
  // the waiter stops only the wait.
  boost::asio::awaitable<void> ended() const;

 private:
  friend TaskHandle spawn(const boost::asio::any_io_executor&, boost::asio::awaitable<void>,
                          std::function<void(std::exception_ptr)>);
  struct Shared {
    boost::asio::any_io_executor executor;
    boost::asio::cancellation_signal signal;
    std::atomic<bool> cancelled{false};
    std::atomic<bool> finished{false};
    std::mutex mutex;
    std::vector<std::shared_ptr<OneShot<std::monostate>>> endWaiters;
    void finish();
  };
  std::shared_ptr<Shared> shared_;
};

// Starts a task on the executor. `done` (if given) runs on the executor when the task ends,
// with its exception; without it, failures other than cancellation are logged.
TaskHandle spawn(const boost::asio::any_io_executor& executor, boost::asio::awaitable<void> task,
                 std::function<void(std::exception_ptr)> done = {});

// What spawn does with a task's end when no `done` is given: logs a failure other than
// cancellation.
void logTaskFailure(const std::exception_ptr& error);

}  // namespace brindlet::runtime
