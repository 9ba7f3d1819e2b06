#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <type_traits>
#include <vector>

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/awaitable.hpp>

#include "runtime/WorkerThread.h"

// Xlib's own names, so that this header does not pull in Xlib and its macros.
typedef struct _XDisplay Display;
typedef union _XEvent XEvent;

namespace brindlet::platform {

// An error the X server answered a request with.
struct XErrorRecord {
  int code = 0;
  int request = 0;  // major opcode
  int minor = 0;
  unsigned long resource = 0;
  unsigned long serial = 0;
};

// One connection to an X display, owned by a worker thread of its own: Xlib is called only
// there. Requests made through call() run there, and their errors come back to the caller as a
// DesktopError instead of ending the process; events are handed to the owner's handler on the
// worker. A lost connection (the server went away) is reported once, on the owner's executor,
// and the process lives on.
class X11Connection {
 public:
  // Opens the display (empty: $DISPLAY); throws DesktopError::disconnected when it cannot.
  // Lost-connection notices go to the opening coroutine's executor.
  static boost::asio::awaitable<std::unique_ptr<X11Connection>> open(std::string display,
                                                                     std::string threadName);
  ~X11Connection();
  X11Connection(const X11Connection&) = delete;

  // Xlib's process-wide handlers; open() installs them before its XOpenDisplay. Installed again
  // after a toolkit has put its own in place.
  static void installHandlers();
  // Xlib calls exit() when a display without an exit handler of ours loses its server (one still
  // being opened, or a toolkit's own), under threads that still run. This runs instead and must
  // not return; without one the process ends by _exit(1).
  static void setExitForOtherDisplays(void (*exit)());
  enum class Answer { opens, refused, silent };
  // Whether the display (empty: $DISPLAY) can be opened; the probe is closed at once. A socket
  // that accepts and never answers would hold XOpenDisplay for ever, so the probe runs on a
  // thread of its own and is left behind, reported silent, when it has not answered in time.
  static Answer probe(const std::string& display, std::chrono::milliseconds limit);
  X11Connection& operator=(const X11Connection&) = delete;

  const std::string& name() const { return name_; }
  boost::asio::any_io_executor worker() const { return worker_.executor(); }
  bool isLost() const { return lost_.load(); }

  // Runs f(Display*) on the worker and waits for the server to have handled its requests; the
  // first error they caused is thrown as a DesktopError, as is a lost connection.
  template <class F>
  boost::asio::awaitable<std::invoke_result_t<F, Display*>> call(F f) {
    return runtime::offload(worker(), [this, f = std::move(f)]() mutable {
      const unsigned long serial = beginRequests();
      if constexpr (std::is_void_v<std::invoke_result_t<F, Display*>>) {
        f(display_);
        endRequests(serial);
      } else {
        auto result = f(display_);
        endRequests(serial);
        return result;
      }
    });
  }

  // The rest is for the worker thread only.
  Display* display() const { return display_; }
  // Called for every event read, then `idle` once the events read so far are handled.
  void setEventHandler(std::function<void(XEvent&)> handler, std::function<void()> idle);
  // Called once, on the owner's executor, when the connection is lost.
  void setLostHandler(std::function<void()> handler);
  // Handles the events Xlib has read or can read without waiting.
  void drainEvents();
  // The errors recorded for requests from `serial` on (NextRequest before making them).
  std::vector<XErrorRecord> errorsSince(unsigned long serial) const;
  unsigned long nextSerial() const;
  // The display's name for a request's major opcode, "GetWindowAttributes".
  std::string requestName(int request) const;
  // Xlib's handlers report here.
  void record(const XErrorRecord& error);
  // Marks the connection lost, from any thread; reported once, on the owner's executor.
  void connectionLost();

 private:
  struct Watch;
  X11Connection(std::string display, std::string threadName);

  void openOnWorker();
  void closeOnWorker();
  unsigned long beginRequests();
  void endRequests(unsigned long serial);
  void watchEvents();

  std::string requested_;
  std::string name_;
  runtime::WorkerThread worker_;
  boost::asio::any_io_executor owner_;
  Display* display_ = nullptr;
  std::unique_ptr<Watch> watch_;
  std::atomic<bool> lost_{false};
  bool lostReported_ = false;
  std::uint64_t openedAs_ = 0;  // the connections of the process opened up to this one
  std::function<void(XEvent&)> onEvent_;
  std::function<void()> onIdle_;
  std::function<void()> onLost_;
  std::vector<XErrorRecord> errors_;
};

}  // namespace brindlet::platform
