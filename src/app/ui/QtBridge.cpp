#include "app/ui/QtBridge.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <QObject>

#include <mutex>

#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>

#include "runtime/MainLoop.h"

namespace brindlet::app::ui {

struct QtThreadPoster::Target {
  std::mutex mutex;
  QObject* receiver = nullptr;
};

QtThreadPoster::QtThreadPoster() : target_(std::make_shared<Target>()) {
  target_->receiver = new QObject;
}

QtThreadPoster::~QtThreadPoster() {
  QObject* receiver = nullptr;
  {
    std::lock_guard lock(target_->mutex);
    std::swap(receiver, target_->receiver);
  }
  // Deleting the receiver discards the calls still queued for it.
  delete receiver;
}

Post QtThreadPoster::post() const {
  return [target = target_](std::function<void()> f) {
    // Held while the call is queued, so that the receiver cannot go in between; queuing only
    // appends to the Qt thread's event list and never calls back.
    std::lock_guard lock(target->mutex);
    if (target->receiver)
      QMetaObject::invokeMethod(target->receiver, std::move(f), Qt::QueuedConnection);
  };
}

Post loopPost(runtime::MainLoop& loop) {
  return [&context = loop.context()](std::function<void()> f) {
    boost::asio::post(context, std::move(f));
  };
}

}  // namespace brindlet::app::ui
