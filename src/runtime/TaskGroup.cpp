#include "runtime/TaskGroup.h"

#include <vector>

#include <boost/asio/post.hpp>
#include <boost/asio/use_awaitable.hpp>

namespace brindlet::runtime {

TaskGroup::TaskGroup(boost::asio::any_io_executor executor) : executor_(std::move(executor)) {}

TaskGroup::~TaskGroup() {
  cancelAll();
}

TaskHandle TaskGroup::spawn(boost::asio::awaitable<void> task,
                            std::function<void(std::exception_ptr)> done) {
  std::unique_lock lock(members_->mutex);
  auto id = ++members_->lastId;
  std::weak_ptr<Members> weak = members_;
  auto leave = [weak, id, done = std::move(done)](std::exception_ptr error) {
    if (auto members = weak.lock()) {
      std::lock_guard lock(members->mutex);
      members->tasks.erase(id);
    }
    if (done) {
      done(error);
    } else {
      logTaskFailure(error);
    }
  };
  // Registered before it can start, so that a task that ends at once still leaves the group.
  auto [it, added] = members_->tasks.emplace(id, TaskHandle());
  lock.unlock();
  TaskHandle handle = runtime::spawn(executor_, std::move(task), std::move(leave));
  lock.lock();
  if (members_->tasks.count(id)) it->second = handle;
  return handle;
}

void TaskGroup::cancelAll() {
  std::vector<TaskHandle> tasks;
  {
    std::lock_guard lock(members_->mutex);
    for (auto& [id, task] : members_->tasks) tasks.push_back(task);
  }
  for (auto& task : tasks) task.cancel();
}

boost::asio::awaitable<void> TaskGroup::join() {
  for (;;) {
    TaskHandle next;
    {
      std::lock_guard lock(members_->mutex);
      if (members_->tasks.empty()) co_return;
      next = members_->tasks.begin()->second;
    }
    if (next) {
      co_await next.ended();
    } else {
      // Spawned on another thread an instant ago: its handle is about to be filled in.
      auto executor = co_await boost::asio::this_coro::executor;
      co_await boost::asio::post(executor, boost::asio::use_awaitable);
    }
  }
}

std::size_t TaskGroup::size() const {
  std::lock_guard lock(members_->mutex);
  return members_->tasks.size();
}

}  // namespace brindlet::runtime
