#include "runtime/Blocking.h"

#include <atomic>

namespace brindlet::runtime {
namespace {

#ifdef NDEBUG
std::atomic<bool> checkOn{false};
#else
std::atomic<bool> checkOn{true};
#endif

thread_local int loopDepth = 0;
std::atomic<std::size_t> inFlight{0};

}  // namespace

// The workers live until the process ends: what static objects do as it exits (a test's daemon
// stopped and waited for) may still need them.
WorkerThread& blockingWorker() {
  static auto* worker = new WorkerThread("brindlet-block");
  return *worker;
}

std::size_t blockingCallsInFlight() {
  return inFlight.load();
}

detail::InFlight::InFlight() {
  ++inFlight;
}
detail::InFlight::~InFlight() {
  if (counted_) --inFlight;
}

WorkerThread& secretsWorker() {
  static auto* worker = new WorkerThread("brindlet-secrets");
  return *worker;
}

namespace {
// Started with the program, not on first use, which may come while static objects are destroyed
// at exit (a child killed by its owner's destructor is reaped on the worker), when a thread can no
// longer start safely.
const bool workersStarted = (blockingWorker(), secretsWorker(), true);
}  // namespace

void mayBlock(const char* what) {
  if (loopDepth > 0 && checkOn.load(std::memory_order_relaxed)) throw BlockingOnLoop(what);
}

void checkBlocking(bool on) {
  checkOn = on;
}

bool checkingBlocking() {
  return checkOn;
}

RunningMainLoop::RunningMainLoop() {
  ++loopDepth;
}
RunningMainLoop::~RunningMainLoop() {
  --loopDepth;
}

bool runsMainLoop() {
  return loopDepth > 0;
}

AllowBlocking::AllowBlocking() : saved_(loopDepth) {
  loopDepth = 0;
}
AllowBlocking::~AllowBlocking() {
  loopDepth = saved_;
}

}  // namespace brindlet::runtime
