// What the exit clean-up's tests end, started afresh: ThreadSanitizer holds back for good the
// signals of a child forked from a test binary with threads of its own. It covers the signals,
// registers the file and the process group it is given, does as told, and exits with 0 if that
// leaves it running.
//
//   exit-cleanup-child <file> <group> <what> <signal>

#include <signal.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <thread>

#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>

#include "runtime/ExitCleanup.h"
#include "runtime/LoopThread.h"
#include "runtime/MainLoop.h"
#include "runtime/WorkerThread.h"

namespace {

using namespace brindlet::runtime;

// Deep enough to overflow any thread's stack; the depth it stops at is never reached. A frame
// well under a page long cannot step over the guard page below the stack.
volatile int neverReached = -1;
[[gnu::noinline]] int deeper(int depth) {
  volatile char frame[256];
  frame[0] = static_cast<char>(depth);
  if (depth == neverReached) return 0;
  return deeper(depth + 1) + frame[0];
}

void overflow() {
  deeper(0);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 5) return 2;
  const std::string what = argv[3];
  const int signal = std::atoi(argv[4]);
  if (what == "raise-found-ignored") ::signal(signal, SIG_IGN);
  coverFatalSignals();
  removeFileOnExit(argv[1]);
  endGroupOnExit(std::atoi(argv[2]));
  if (what.starts_with("raise")) ::raise(signal);
  if (what == "overflow-on-worker") {
    WorkerThread worker("overflow");
    boost::asio::post(worker.executor(), overflow);
    pause();
  } else if (what == "overflow-on-loop-thread") {
    MainLoop loop;
    LoopThread thread(loop, "overflow");
    boost::asio::post(loop.context(), overflow);
    pause();
  } else if (what == "overflow-on-a-thread-that-names-itself") {
    std::thread([] {
      detail::nameThisThread("overflow");
      overflow();
    }).join();
  }
  return 0;
}
