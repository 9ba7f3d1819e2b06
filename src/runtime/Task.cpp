#include "runtime/Task.h"

#include <boost/asio/post.hpp>

#include "runtime/Error.h"
#include "runtime/Log.h"
#include "runtime/OneShot.h"

namespace brindlet::runtime {
void logTaskFailure(const std::exception_ptr& error) {
  if (!error || isCancellation(error)) return;
  Logger::of("runtime").error("Task failed: %s", describe(error).c_str());
}

void TaskHandle::cancel() const {
  if (!shared_) return;
  shared_->cancelled = true;
  boost::asio::post(shared_->executor, [shared = shared_] {
    if (!shared->finished) shared->signal.emit(boost::asio::cancellation_type::terminal);
  });
}

boost::asio::awaitable<void> TaskHandle::ended() const {
  if (!shared_) co_return;
  auto shot = OneShot<std::monostate>::make();
  {
    std::lock_guard lock(shared_->mutex);
    if (shared_->finished) co_return;
    shared_->endWaiters.push_back(shot);
  }
  co_await shot->wait();
}

void TaskHandle::Shared::finish() {
  std::vector<std::shared_ptr<OneShot<std::monostate>>> waiters;
  {
    std::lock_guard lock(mutex);
    finished = true;
    waiters.swap(endWaiters);
  }
  for (auto& waiter : waiters) waiter->resume({});
}

TaskHandle spawn(const boost::asio::any_io_executor& executor, boost::asio::awaitable<void> task,
                 std::function<void(std::exception_ptr)> done) {
  TaskHandle handle;
  handle.shared_ = std::make_shared<TaskHandle::Shared>();
  handle.shared_->executor = executor;
  auto shared = handle.shared_;
  boost::asio::co_spawn(
      executor, std::move(task),
      boost::asio::bind_cancellation_slot(
          shared->signal.slot(), [shared, done = std::move(done)](std::exception_ptr error) {
            shared->finish();
            if (done) {
              done(error);
            } else {
              logTaskFailure(error);
            }
          }));
  return handle;
}

}  // namespace brindlet::runtime
