#pragma once

#include <memory>

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

  // Runs until stop() is called, keeping the loop alive while it has nothing to do.
  void run();
  void stop();
  // Runs ready handlers without waiting; returns how many ran (tests drive the loop with it).
  std::size_t poll();
  // Polls until nothing is ready any more.
  void drain();

 private:
  std::unique_ptr<boost::asio::io_context> context_;
};

}  // namespace brindlet::runtime
