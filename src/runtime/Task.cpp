#include "runtime/Task.h"

#include <boost/asio/post.hpp>

#include "runtime/Log.h"
#include "runtime/OneShot.h"

namespace brindlet::runtime {
namespace {

const Logger& runtimeLog() {
  static const Logger logger("runtime");
  return logger;
}

}  // namespace

void TaskHandle::cancel() const {
  if (!shared_) return;
  shared_->cancelled = true;
  boost::asio::post(shared_->executor, [shared = shared_] {
    if (!shared->finished) shared->signal.emit(boost::asio::cancellation_type::terminal);
  });
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
            shared->finished = true;
            if (done) {
              done(error);
            } else if (error && !isCancellation(error)) {
              try {
                std::rethrow_exception(error);
              } catch (const std::exception& e) {
                runtimeLog().error("Task failed: %s", e.what());
              } catch (...) {
                runtimeLog().error("Task failed");
              }
            }
          }));
  return handle;
}

void runUntilDone(boost::asio::io_context& context, boost::asio::awaitable<void> operation) {
  auto wrapped = [](boost::asio::awaitable<void> op) -> boost::asio::awaitable<bool> {
    co_await std::move(op);
    co_return true;
  };
  runUntilDone<bool>(context, wrapped(std::move(operation)));
}

}  // namespace brindlet::runtime
