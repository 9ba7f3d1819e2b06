#include "runtime/LoopThread.h"

#include <future>
#include <stdexcept>

#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>

#include "runtime/Error.h"
#include "runtime/Log.h"
#include "runtime/MainLoop.h"

namespace brindlet::runtime {

namespace detail {

void runLoggingFailures(const std::string& name, const std::function<void()>& run,
                        const std::atomic<bool>* stopping) {
  for (;;) {
    try {
      run();
      return;
    } catch (...) {
      const auto text = describe(std::current_exception());
      Logger::of("runtime").error("Thread %s: a handler failed: %s", name.c_str(), text.c_str());
    }
    if (stopping && *stopping) return;
  }
}

}  // namespace detail

LoopThread::LoopThread(MainLoop& loop, std::string name) : loop_(loop) {
  if (loop_.isRunning()) throw std::logic_error("the main loop is running already");
  std::promise<void> running;
  boost::asio::post(loop_.context(), [&running] { running.set_value(); });
  std::promise<void> finished;
  finished_ = finished.get_future();
  auto run = [this, name, finished = std::move(finished)]() mutable {
    detail::runLoggingFailures(
        name, [this] { loop_.run(); }, &stopping_);
    finished.set_value();
  };
  thread_ = startThread(std::move(name), std::move(run));
  // Once the loop runs, other threads' poll and drain are refused and a stop cannot be lost.
  running.get_future().wait();
}

LoopThread::~LoopThread() {
  stop();
}

bool LoopThread::isCurrent() const {
  return loop_.isCurrent();
}

void LoopThread::stop() {
  if (!thread_.joinable()) return;
  if (thread_.get_id() == std::this_thread::get_id()) {
    throw std::logic_error("the loop thread cannot stop itself");
  }
  stopping_ = true;
  // Again until the thread is out: a loop restarted after a failing handler forgets a stop made
  // just before.
  do {
    loop_.stop();
  } while (finished_.wait_for(std::chrono::milliseconds(5)) != std::future_status::ready);
  thread_.join();
}

}  // namespace brindlet::runtime
