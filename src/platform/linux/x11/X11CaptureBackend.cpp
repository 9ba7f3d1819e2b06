#include "platform/linux/x11/X11CaptureBackend.h"

#include <exception>
#include <variant>
#include <vector>

#include <boost/asio/post.hpp>
#include <boost/asio/this_coro.hpp>

#include "desktop/DesktopError.h"
#include "platform/linux/x11/X11Capturer.h"
#include "runtime/OneShot.h"
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

// The connection and its router as a start or a listing uses them: held for the whole call, so
// that no later opening can take them away from under it.
struct Opened {
  std::shared_ptr<X11Connection> connection;
  std::shared_ptr<Router> router;
};

struct X11CaptureBackend::Inner {
  using Waiter = runtime::OneShot<std::monostate>;

  std::string display;
  boost::asio::any_io_executor owner;
  Opened opened;
  // Callers that came while the connection was being opened wait for that opening instead of
  // making one of their own.
  bool opening = false;
  std::vector<std::shared_ptr<Waiter>> waiters;
  std::weak_ptr<Ending> current;

  // Each stream holds its connection: one replaced after its loss closes when its last stream
  // has ended.
  static awaitable<Opened> connect(std::shared_ptr<Inner> self);
  static awaitable<Opened> open(std::shared_ptr<Inner> self);
};

awaitable<Opened> X11CaptureBackend::Inner::connect(std::shared_ptr<Inner> self) {
  if (self->opened.connection && !self->opened.connection->isLost()) co_return self->opened;
  if (self->opening) {
    auto waiter = Waiter::make();
    self->waiters.push_back(waiter);
    co_await waiter->wait();
    co_return self->opened;
  }
  self->opening = true;
  std::exception_ptr failure;
  try {
    self->opened = co_await open(self);
  } catch (...) {
    failure = std::current_exception();
  }
  self->opening = false;
  for (auto& waiter : std::exchange(self->waiters, {})) {
    if (failure) {
      waiter->fail(failure);
    } else {
      waiter->resume({});
    }
  }
  if (failure) std::rethrow_exception(failure);
  co_return self->opened;
}

awaitable<Opened> X11CaptureBackend::Inner::open(std::shared_ptr<Inner> self) {
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
  co_return Opened{std::move(connection), std::move(router)};
}

X11CaptureBackend::X11CaptureBackend(std::string display) : inner_(std::make_shared<Inner>()) {
  inner_->display = std::move(display);
}

X11CaptureBackend::~X11CaptureBackend() = default;

awaitable<streaming::ShareableContent> X11CaptureBackend::shareableContent() {
  auto inner = inner_;
  const auto opened = co_await Inner::connect(inner);
  auto list = [](Display* d) {
    return streaming::ShareableContent{x11capture::monitorOutputs(d),
                                       x11capture::viewableTopLevels(d)};
  };
  try {
    co_return co_await opened.connection->call(std::move(list));
  } catch (const desktop::DesktopError& error) {
    throw CaptureError::notPermitted(error.text());
  }
}

awaitable<std::unique_ptr<streaming::CaptureStream>> X11CaptureBackend::start(
    CaptureTarget target, int width, int height, streaming::CaptureCallbacks callbacks) {
  auto inner = inner_;
  if (width % 2 != 0 || height % 2 != 0)
    throw CaptureError::streamFailed("NV12 needs an even width and height");
  const auto opened = co_await Inner::connect(inner);
  auto ending = std::make_shared<Ending>();
  ending->owner = inner->owner;
  ending->stopped = std::move(callbacks.stopped);
  auto capturer = std::make_shared<Capturer>(*opened.connection, opened.router->extensions, target,
                                             width, height, std::move(callbacks.frame), ending);
  auto router = opened.router;
  // The connection's events go to one capture: a start while another runs is refused there, on
  // the worker, where the running one cannot end half way through the check.
  auto begin = [capturer, router](Display*) {
    if (auto running = router->active.lock(); running && running->isRunning())
      throw CaptureError::streamFailed("a capture of " + running->target().text() + " is running");
    capturer->begin();
    router->active = capturer;
  };
  try {
    co_await opened.connection->call(std::move(begin));
  } catch (const desktop::DesktopError& error) {
    boost::asio::post(opened.connection->worker(), [capturer] { capturer->end(); });
    throw CaptureError::streamFailed(error.text());
  }
  inner->current = ending;
  co_return std::make_unique<X11CaptureStream>(opened.connection, capturer, ending);
}

}  // namespace brindlet::platform
