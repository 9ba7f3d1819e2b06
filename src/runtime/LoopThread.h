#pragma once

#include <atomic>
#include <functional>
#include <future>
#include <string>
#include <thread>

#include "runtime/Thread.h"

namespace brindlet::runtime {

class MainLoop;

// Runs the main loop on a thread of its own, beside a UI toolkit that keeps the process's first
// thread; the constructor returns once the loop runs. While it runs, the loop refuses poll and
// drain from other threads. A handler that throws is logged and the loop goes on.
class LoopThread {
 public:
  explicit LoopThread(MainLoop& loop, std::string name = "brindlet-loop");
  ~LoopThread();
  LoopThread(const LoopThread&) = delete;
  LoopThread& operator=(const LoopThread&) = delete;

  bool isCurrent() const;
  // Stops the loop and joins the thread; idempotent; not from the loop's own thread.
  void stop();

 private:
  MainLoop& loop_;
  std::atomic<bool> stopping_{false};
  std::future<void> finished_;
  std::thread thread_;
};

namespace detail {
// Calls `run` until it returns normally or `stopping` is set, logging what it throws.
void runLoggingFailures(const std::string& name, const std::function<void()>& run,
                        const std::atomic<bool>* stopping);
}  // namespace detail

}  // namespace brindlet::runtime
