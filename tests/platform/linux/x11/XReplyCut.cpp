// Every Xlib and RandR request that waits for an answer goes through Xlib's _XReply, called
// through the dynamic linker: the test binary's own _XReply stands in front of it.

#include "XReplyCut.h"

#include <X11/Xlib.h>
#include <dlfcn.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>

#include <mutex>

namespace brindlet::platform::testing {
namespace {

struct Cut {
  std::mutex mutex;
  std::string thread;
  int step = 0;
  int seen = 0;
  bool armed = false;
  bool happened = false;
};

Cut& cut() {
  static Cut instance;
  return instance;
}

bool onThread(const std::string& name) {
  char current[16] = {};
  pthread_getname_np(pthread_self(), current, sizeof current);
  return name == current;
}

}  // namespace

void cutAtReply(const std::string& thread, int step) {
  // Writes to the shut socket fail; they must not end the test.
  ::signal(SIGPIPE, SIG_IGN);
  std::lock_guard lock(cut().mutex);
  cut().thread = thread;
  cut().step = step;
  cut().seen = 0;
  cut().armed = true;
  cut().happened = false;
}

bool cutHappened() {
  std::lock_guard lock(cut().mutex);
  cut().armed = false;
  return cut().happened;
}

}  // namespace brindlet::platform::testing

extern "C" int _XReply(Display* display, void* reply, int extra, int discard) {
  using Real = int (*)(Display*, void*, int, int);
  static const auto real = reinterpret_cast<Real>(dlsym(RTLD_NEXT, "_XReply"));
  auto& c = brindlet::platform::testing::cut();
  {
    std::lock_guard lock(c.mutex);
    if (c.armed && brindlet::platform::testing::onThread(c.thread) && ++c.seen == c.step) {
      c.armed = false;
      c.happened = true;
      ::shutdown(ConnectionNumber(display), SHUT_RDWR);
    }
  }
  return real(display, reply, extra, discard);
}
