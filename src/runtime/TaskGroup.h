#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>

#include "runtime/Task.h"

namespace brindlet::runtime {

// The tasks an owner started and must end together: spawn them here, cancel them all at once,
// and wait for all of them to have ended. Destroying the group cancels what still runs.
class TaskGroup {
 public:
  explicit TaskGroup(boost::asio::any_io_executor executor);
  ~TaskGroup();
  TaskGroup(const TaskGroup&) = delete;
  TaskGroup& operator=(const TaskGroup&) = delete;

  // As runtime::spawn, on the group's executor; the task leaves the group when it ends.
  TaskHandle spawn(boost::asio::awaitable<void> task,
                   std::function<void(std::exception_ptr)> done = {});
  void cancelAll();
  // Waits until every task of the group has ended, including those spawned while waiting.
  boost::asio::awaitable<void> join();
  std::size_t size() const;

 private:
  struct Members {
    std::mutex mutex;
    std::uint64_t lastId = 0;
    std::map<std::uint64_t, TaskHandle> tasks;
  };
  boost::asio::any_io_executor executor_;
  std::shared_ptr<Members> members_ = std::make_shared<Members>();
};

}  // namespace brindlet::runtime
