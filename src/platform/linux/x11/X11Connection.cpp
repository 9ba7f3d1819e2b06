#include "platform/linux/x11/X11Connection.h"

#include <X11/Xlib.h>

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <future>
#include <map>
#include <mutex>
#include <thread>

#include <boost/asio/posix/stream_descriptor.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/this_coro.hpp>

#include "desktop/DesktopError.h"
#include "runtime/Log.h"
#include "runtime/Thread.h"

namespace brindlet::platform {
namespace {

// Errors kept for requests that nobody waits on; older ones are dropped.
constexpr std::size_t kKeptErrors = 256;
constexpr int kBadWindow = 3;

const runtime::Logger& log() {
  return runtime::Logger::of("x11");
}

// Each connection's Xlib calls run on its own worker, so Xlib's process-wide handlers find the
// connection they concern through the calling thread.
thread_local X11Connection* tConnection = nullptr;

int onXError(Display*, XErrorEvent* e) {
  if (tConnection)
    tConnection->record({e->error_code, e->request_code, e->minor_code, e->resourceid, e->serial});
  return 0;
}

// The displays whose exit handler is ours; Xlib picks a display's exit handler before it calls
// the process-wide I/O error handler, which must not return for the others.
struct Owned {
  std::mutex mutex;
  std::vector<Display*> displays;
  std::atomic<void (*)()> exitForOthers{nullptr};
};

Owned& owned() {
  static Owned* instance = new Owned;  // never destroyed: Xlib may report on any thread, at exit
  return *instance;
}

bool isOwned(Display* display) {
  std::lock_guard lock(owned().mutex);
  const auto& displays = owned().displays;
  return std::find(displays.begin(), displays.end(), display) != displays.end();
}

void setOwned(Display* display, bool own) {
  std::lock_guard lock(owned().mutex);
  auto& displays = owned().displays;
  displays.erase(std::remove(displays.begin(), displays.end(), display), displays.end());
  if (own) displays.push_back(display);
}

// One server's end is told once, however many of our connections find it: a connection tells
// it unless a loss of its display was told after it opened. A later server of the same name is
// a new display, whose connections all opened after that.
struct Losses {
  std::mutex mutex;
  std::uint64_t opened = 0;
  std::map<std::string, std::uint64_t> toldAt;  // display → connections opened when told
};

Losses& losses() {
  static Losses* instance = new Losses;  // never destroyed, as the displays' list
  return *instance;
}

std::uint64_t countOpened() {
  std::lock_guard lock(losses().mutex);
  return ++losses().opened;
}

bool firstToTell(const std::string& display, std::uint64_t openedAs) {
  std::lock_guard lock(losses().mutex);
  auto& told = losses().toldAt;
  auto found = told.find(display);
  if (found != told.end() && openedAs <= found->second) return false;
  told[display] = losses().opened;
  return true;
}

// Xlib calls this before the exit handler; the message it would print is ours to give.
int onIOError(Display* display) {
  if (isOwned(display)) return 0;
  if (auto exit = owned().exitForOthers.load()) exit();
  log().error("Lost the connection to X display %s", DisplayString(display));
  std::fflush(nullptr);
  _exit(1);
}

void onConnectionLost(Display*, void* connection) {
  static_cast<X11Connection*>(connection)->connectionLost();
}

}  // namespace

void X11Connection::installHandlers() {
  static std::once_flag once;
  std::call_once(once, [] { XInitThreads(); });
  XSetErrorHandler(onXError);
  XSetIOErrorHandler(onIOError);
}

void X11Connection::setExitForOtherDisplays(void (*exit)()) {
  owned().exitForOthers = exit;
}

X11Connection::Answer X11Connection::probe(const std::string& display,
                                           std::chrono::milliseconds limit) {
  installHandlers();
  auto opening = std::make_shared<std::promise<bool>>();
  auto opened = opening->get_future();
  runtime::startThread("x11 probe", [opening, display] {
    Display* probe = XOpenDisplay(display.empty() ? nullptr : display.c_str());
    if (probe) XCloseDisplay(probe);
    opening->set_value(probe != nullptr);
  }).detach();
  if (opened.wait_for(limit) != std::future_status::ready) return Answer::silent;
  return opened.get() ? Answer::opens : Answer::refused;
}

struct X11Connection::Watch {
  explicit Watch(boost::asio::any_io_executor executor, int fd) : descriptor(executor, fd) {}
  boost::asio::posix::stream_descriptor descriptor;
};

X11Connection::X11Connection(std::string display, std::string threadName)
    : requested_(std::move(display)), name_(requested_), worker_(std::move(threadName)) {}

boost::asio::awaitable<std::unique_ptr<X11Connection>> X11Connection::open(std::string display,
                                                                           std::string threadName) {
  std::unique_ptr<X11Connection> connection(new X11Connection(display, threadName));
  connection->owner_ = co_await boost::asio::this_coro::executor;
  X11Connection* raw = connection.get();
  auto openIt = [raw] { raw->openOnWorker(); };  // named: g++ 12 destroys operand temporaries twice
  co_await runtime::offload(connection->worker(), std::move(openIt));
  co_return connection;
}

void X11Connection::openOnWorker() {
  installHandlers();
  display_ = XOpenDisplay(requested_.empty() ? nullptr : requested_.c_str());
  if (!display_) throw desktop::DesktopError::disconnected(XDisplayName(requested_.c_str()));
  name_ = DisplayString(display_);
  openedAs_ = countOpened();
  tConnection = this;
  XSetIOErrorExitHandler(display_, onConnectionLost, this);
  setOwned(display_, true);
  watch_ = std::make_unique<Watch>(worker(), ConnectionNumber(display_));
  watchEvents();
}

X11Connection::~X11Connection() {
  // The display is closed where it lives; then the worker ends.
  std::promise<void> closed;
  boost::asio::post(worker(), [this, &closed] {
    closeOnWorker();
    closed.set_value();
  });
  closed.get_future().wait();
  worker_.stop();
}

void X11Connection::closeOnWorker() {
  if (watch_) {
    watch_->descriptor.release();  // the descriptor is Xlib's to close
    watch_.reset();
  }
  if (display_) {
    XCloseDisplay(display_);
    setOwned(display_, false);
  }
  display_ = nullptr;
  tConnection = nullptr;
}

void X11Connection::setEventHandler(std::function<void(XEvent&)> handler,
                                    std::function<void()> idle) {
  onEvent_ = std::move(handler);
  onIdle_ = std::move(idle);
}

void X11Connection::setLostHandler(std::function<void()> handler) {
  onLost_ = std::move(handler);
}

void X11Connection::watchEvents() {
  if (!watch_ || lost_) return;
  watch_->descriptor.async_wait(boost::asio::posix::stream_descriptor::wait_read,
                                [this](boost::system::error_code error) {
                                  if (error) return;
                                  drainEvents();
                                  watchEvents();
                                });
}

void X11Connection::drainEvents() {
  // The idle handler's own requests may read further events into Xlib's queue, where the
  // descriptor no longer shows them: go round until nothing is left.
  while (!lost_ && XPending(display_) > 0) {
    while (!lost_ && XPending(display_) > 0) {
      XEvent event;
      XNextEvent(display_, &event);
      if (onEvent_) onEvent_(event);
    }
    if (!lost_ && onIdle_) onIdle_();
  }
  if (lost_) connectionLost();
}

void X11Connection::connectionLost() {
  lost_ = true;
  // Xlib reports on whichever thread's call found the connection gone, the event poster's
  // sender too; the rest touches the worker's own state.
  if (!worker_.isCurrent()) {
    boost::asio::post(worker(), [this] { connectionLost(); });
    return;
  }
  if (lostReported_) return;
  lostReported_ = true;
  if (firstToTell(name_, openedAs_))
    log().error("Lost the connection to X display %s", name_.c_str());
  if (watch_) watch_->descriptor.cancel();
  if (onLost_) boost::asio::post(owner_, onLost_);
}

unsigned long X11Connection::beginRequests() {
  if (lost_) throw desktop::DesktopError::disconnected(name_);
  return NextRequest(display_);
}

void X11Connection::endRequests(unsigned long serial) {
  XSync(display_, False);
  if (lost_) {
    connectionLost();
    throw desktop::DesktopError::disconnected(name_);
  }
  const auto errors = errorsSince(serial);
  drainEvents();
  if (errors.empty()) return;
  const XErrorRecord& first = errors.front();
  if (first.code == kBadWindow) throw desktop::DesktopError::noSuchWindow(first.resource);
  throw desktop::DesktopError::requestFailed(requestName(first.request), first.code);
}

void X11Connection::record(const XErrorRecord& error) {
  if (errors_.size() == kKeptErrors) errors_.erase(errors_.begin());
  errors_.push_back(error);
  log().debug("X error %d on request %d.%d (resource 0x%lx)", error.code, error.request,
              error.minor, error.resource);
}

std::vector<XErrorRecord> X11Connection::errorsSince(unsigned long serial) const {
  std::vector<XErrorRecord> found;
  for (const auto& e : errors_)
    if (e.serial >= serial) found.push_back(e);
  return found;
}

unsigned long X11Connection::nextSerial() const {
  return NextRequest(display_);
}

std::string X11Connection::requestName(int request) const {
  char text[128] = {};
  const std::string number = std::to_string(request);
  XGetErrorDatabaseText(display_, "XRequest", number.c_str(), number.c_str(), text, sizeof text);
  std::string name = text;
  if (name.rfind("X_", 0) == 0) name.erase(0, 2);
  return name;
}

}  // namespace brindlet::platform
