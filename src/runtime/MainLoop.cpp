#include "runtime/MainLoop.h"

#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>

#include "runtime/Blocking.h"

namespace brindlet::runtime {
namespace {

// The calls to make when a loop stops, kept with the loop.
class StopCalls : public boost::asio::execution_context::service {
 public:
  using key_type = StopCalls;
  static inline boost::asio::execution_context::id id;
  explicit StopCalls(boost::asio::execution_context& context) : service(context) {}

  std::shared_ptr<void> add(std::function<void()> call) {
    auto kept = std::make_shared<std::function<void()>>(std::move(call));
    std::lock_guard lock(mutex_);
    calls_.push_back(kept);
    return kept;
  }
  void callAll() {
    std::vector<std::shared_ptr<std::function<void()>>> live;
    {
      std::lock_guard lock(mutex_);
      std::erase_if(calls_, [](const auto& call) { return call.expired(); });
      for (const auto& call : calls_) {
        if (auto kept = call.lock()) live.push_back(std::move(kept));
      }
    }
    for (const auto& call : live) (*call)();
  }

 private:
  void shutdown() override {}
  std::mutex mutex_;
  std::vector<std::weak_ptr<std::function<void()>>> calls_;
};

}  // namespace

std::shared_ptr<void> whenLoopStops(boost::asio::io_context& loop, std::function<void()> call) {
  return boost::asio::use_service<StopCalls>(loop).add(std::move(call));
}

MainLoop::MainLoop() : context_(std::make_unique<boost::asio::io_context>(1)) {}
MainLoop::~MainLoop() = default;

void MainLoop::run() {
  auto nobody = std::thread::id();
  if (!runner_.compare_exchange_strong(nobody, std::this_thread::get_id())) {
    throw std::logic_error("the main loop is running already");
  }
  struct Leave {
    std::atomic<std::thread::id>& runner;
    ~Leave() { runner = std::thread::id(); }
  } leave{runner_};
  {
    RunningMainLoop mark;
    auto guard = boost::asio::make_work_guard(*context_);
    context_->restart();
    context_->run();
  }
  boost::asio::use_service<StopCalls>(*context_).callAll();
}

void MainLoop::stop() {
  context_->stop();
}

void MainLoop::refuseIfRunningElsewhere(const char* what) const {
  auto runner = runner_.load();
  if (runner != std::thread::id() && runner != std::this_thread::get_id()) {
    throw std::logic_error(std::string("cannot ") + what +
                           " the main loop while another thread runs it");
  }
}

std::size_t MainLoop::poll() {
  refuseIfRunningElsewhere("poll");
  RunningMainLoop mark;
  context_->restart();
  return context_->poll();
}

void MainLoop::drain() {
  refuseIfRunningElsewhere("drain");
  while (poll() > 0) {
  }
}

}  // namespace brindlet::runtime
