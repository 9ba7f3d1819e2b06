#include "runtime/WorkerThread.h"

#include <thread>

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>

#include "runtime/LoopThread.h"
#include "runtime/Thread.h"

namespace brindlet::runtime {

struct WorkerThread::Impl {
  std::string name;
  boost::asio::io_context context{1};
  boost::asio::executor_work_guard<boost::asio::io_context::executor_type> guard =
      boost::asio::make_work_guard(context);
  std::thread thread;

  void run() {
    detail::runLoggingFailures(
        name, [this] { context.run(); }, nullptr);
  }
};

WorkerThread::WorkerThread(std::string name) : impl_(std::make_unique<Impl>()) {
  impl_->name = std::move(name);
  impl_->thread = startThread(impl_->name, [impl = impl_.get()] { impl->run(); });
}

WorkerThread::~WorkerThread() {
  stop();
}

boost::asio::any_io_executor WorkerThread::executor() const {
  return impl_->context.get_executor();
}

bool WorkerThread::isCurrent() const {
  return impl_->context.get_executor().running_in_this_thread();
}

void WorkerThread::stop() {
  if (!impl_->thread.joinable()) return;
  if (isCurrent()) throw std::logic_error("a worker cannot stop itself");
  impl_->guard.reset();
  impl_->context.stop();
  impl_->thread.join();
}

}  // namespace brindlet::runtime
