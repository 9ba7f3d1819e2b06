#include "runtime/WorkerThread.h"

#include <pthread.h>

#include <thread>

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>

#include "runtime/Log.h"

namespace brindlet::runtime {
namespace {

const Logger& workerLog() {
  static const Logger logger("runtime");
  return logger;
}

}  // namespace

struct WorkerThread::Impl {
  std::string name;
  boost::asio::io_context context{1};
  boost::asio::executor_work_guard<boost::asio::io_context::executor_type> guard =
      boost::asio::make_work_guard(context);
  std::thread thread;

  void run() {
    pthread_setname_np(pthread_self(), name.substr(0, 15).c_str());
    for (;;) {
      try {
        context.run();
        return;
      } catch (const std::exception& e) {
        workerLog().error("Worker %s: a handler failed: %s", name.c_str(), e.what());
      } catch (...) {
        workerLog().error("Worker %s: a handler failed", name.c_str());
      }
    }
  }
};

WorkerThread::WorkerThread(std::string name) : impl_(std::make_unique<Impl>()) {
  impl_->name = std::move(name);
  impl_->thread = std::thread([impl = impl_.get()] { impl->run(); });
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
