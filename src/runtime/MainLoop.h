#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <thread>

namespace boost::asio {
class io_context;
}

namespace brindlet::runtime {

// The main loop: one io_context run by one thread. Long-lived models live on it and are touched
// only from it; other threads hand work to it with post.
class MainLoop {
 public:
  MainLoop();
  ~MainLoop();
  MainLoop(const MainLoop&) = delete;
  MainLoop& operator=(const MainLoop&) = delete;

  boost::asio::io_context& context() { return *context_; }

  // Runs until stop() is called, keeping the loop alive while it has nothing to do. Throws
  // std::logic_error if it runs already.
  void run();
  void stop();
  // Runs ready handlers without waiting; returns how many ran (tests drive the loop with it).
  // Both refuse (std::logic_error) while another thread runs the loop.
  std::size_t poll();
  // Polls until nothing is ready any more.
  void drain();
  // Whether the calling thread is the one inside run().
  bool isCurrent() const { return runner_.load() == std::this_thread::get_id(); }
  bool isRunning() const { return runner_.load() != std::thread::id(); }

 private:
  void refuseIfRunningElsewhere(const char* what) const;

  std::unique_ptr<boost::asio::io_context> context_;
  std::atomic<std::thread::id> runner_{};
};

// Calls `call` on the loop's thread each time MainLoop::run returns, for as long as the returned
// handle is kept: the last chance for work that must not be lost on a clean exit.
[[nodiscard]] std::shared_ptr<void> whenLoopStops(boost::asio::io_context& loop,
                                                  std::function<void()> call);

}  // namespace brindlet::runtime
