#include "runtime/MainLoop.h"

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>

namespace brindlet::runtime {

MainLoop::MainLoop() : context_(std::make_unique<boost::asio::io_context>(1)) {}
MainLoop::~MainLoop() = default;

void MainLoop::run() {
  auto guard = boost::asio::make_work_guard(*context_);
  context_->restart();
  context_->run();
}

void MainLoop::stop() {
  context_->stop();
}

std::size_t MainLoop::poll() {
  context_->restart();
  return context_->poll();
}

void MainLoop::drain() {
  while (poll() > 0) {
  }
}

}  // namespace brindlet::runtime
