#include "runtime/MainLoop.h"

#include <stdexcept>
#include <string>

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>

#include "runtime/Blocking.h"

namespace brindlet::runtime {

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
  RunningMainLoop mark;
  auto guard = boost::asio::make_work_guard(*context_);
  context_->restart();
  context_->run();
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
