#include "platform/linux/x11/X11CaptureBackend.h"

#include <boost/asio/post.hpp>
#include <boost/asio/this_coro.hpp>

#include "desktop/DesktopError.h"
#include "platform/linux/x11/X11Capturer.h"
#include "streaming/ScreenCapture.h"
#include "streaming/VideoTypes.h"

namespace brindlet::platform {
namespace {

using boost::asio::awaitable;
using streaming::CaptureError;
using streaming::CaptureTarget;
using x11capture::Capturer;
using x11capture::Ending;
using x11capture::Extensions;

// The capture stream as its owner holds it.
class X11CaptureStream final : public streaming::CaptureStream {
 public:
  X11CaptureStream(std::shared_ptr<X11Connection> connection, std::shared_ptr<Capturer> capturer,
                   std::shared_ptr<Ending> ending)
      : connection_(std::move(connection)),
        capturer_(std::move(capturer)),
        ending_(std::move(ending)) {}
  ~X11CaptureStream() override {
    ending_->ended = true;
    // Ends on the worker before the connection can close there.
    boost::asio::post(connection_->worker(),
                      [capturer = std::move(capturer_)] { capturer->end(); });
  }

  awaitable<void> stop() override {
    ending_->ended = true;
    auto capturer = capturer_;
    auto endIt = [capturer](Display*) { capturer->end(); };
    try {
      co_await connection_->call(std::move(endIt));
    } catch (const desktop::DesktopError& error) {
      throw CaptureError::streamFailed(error.text());
    }
  }

  void requestFrame() override {
    boost::asio::post(connection_->worker(), [capturer = capturer_] { capturer->request(); });
  }

 private:
  std::shared_ptr<X11Connection> connection_;
  std::shared_ptr<Capturer> capturer_;
  std::shared_ptr<Ending> ending_;
};

// Sends the connection's events to the running capture: worker only.
struct Router {
  Extensions extensions;
  std::weak_ptr<Capturer> active;
};

}  // namespace

struct X11CaptureBackend::Inner {
  std::string display;
  boost::asio::any_io_executor owner;
  std::shared_ptr<X11Connection> connection;
  std::shared_ptr<Router> router;
  std::weak_ptr<Ending> current;

  static awaitable<void> connect(std::shared_ptr<Inner> self);
};

awaitable<void> X11CaptureBackend::Inner::connect(std::shared_ptr<Inner> self) {
  if (self->connection && !self->connection->isLost()) co_return;
  self->owner = co_await boost::asio::this_coro::executor;
  std::shared_ptr<X11Connection> connection;
  try {
    // The capture queue's label names the thread, by its last word: thread names hold 15 bytes.
    const std::string_view label = streaming::ScreenCapture::kQueueLabel;
    std::string thread(label.substr(label.rfind('.') + 1));
    connection = co_await X11Connection::open(self->display, std::move(thread));
  } catch (const desktop::DesktopError& error) {
    throw CaptureError::notPermitted(error.text());
  }
  auto router = std::make_shared<Router>();
  std::weak_ptr<Inner> weak = self;
  X11Connection* raw = connection.get();
  auto setUp = [raw, router, weak](Display* d) {
    router->extensions = x11capture::queryExtensions(d);
    raw->setEventHandler(
        [router](XEvent& event) {
          if (auto capturer = router->active.lock()) capturer->onEvent(event);
        },
        [router] {
          if (auto capturer = router->active.lock()) capturer->pump();
        });
    raw->setLostHandler([weak] {
      auto inner = weak.lock();
      auto ending = inner ? inner->current.lock() : nullptr;
      if (ending) ending->finish("lost the connection to the X display");
    });
  };
  try {
    co_await connection->call(std::move(setUp));
  } catch (const desktop::DesktopError& error) {
    throw CaptureError::notPermitted(error.text());
  }
  self->connection = std::move(connection);
  self->router = std::move(router);
}

X11CaptureBackend::X11CaptureBackend(std::string display) : inner_(std::make_shared<Inner>()) {
  inner_->display = std::move(display);
}

X11CaptureBackend::~X11CaptureBackend() = default;

awaitable<streaming::ShareableContent> X11CaptureBackend::shareableContent() {
  auto inner = inner_;
  co_await Inner::connect(inner);
  auto list = [](Display* d) {
    return streaming::ShareableContent{x11capture::monitorOutputs(d),
                                       x11capture::viewableTopLevels(d)};
  };
  try {
    co_return co_await inner->connection->call(std::move(list));
  } catch (const desktop::DesktopError& error) {
    throw CaptureError::notPermitted(error.text());
  }
}

awaitable<std::unique_ptr<streaming::CaptureStream>> X11CaptureBackend::start(
    CaptureTarget target, int width, int height, streaming::CaptureCallbacks callbacks) {
  auto inner = inner_;
  if (width % 2 != 0 || height % 2 != 0)
    throw CaptureError::streamFailed("NV12 needs an even width and height");
  co_await Inner::connect(inner);
  auto ending = std::make_shared<Ending>();
  ending->owner = inner->owner;
  ending->stopped = std::move(callbacks.stopped);
  auto capturer = std::make_shared<Capturer>(*inner->connection, inner->router->extensions, target,
                                             width, height, std::move(callbacks.frame), ending);
  auto router = inner->router;
  auto begin = [capturer, router](Display*) {
    capturer->begin();
    router->active = capturer;
  };
  try {
    co_await inner->connection->call(std::move(begin));
  } catch (const desktop::DesktopError& error) {
    boost::asio::post(inner->connection->worker(), [capturer] { capturer->end(); });
    throw CaptureError::streamFailed(error.text());
  }
  inner->current = ending;
  co_return std::make_unique<X11CaptureStream>(inner->connection, capturer, ending);
}

}  // namespace brindlet::platform
