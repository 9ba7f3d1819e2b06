#include "runtime/Blocking.h"

#include <execinfo.h>
#include <pthread.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>

#include "runtime/Log.h"

namespace brindlet::runtime {
namespace {

#ifdef NDEBUG
std::atomic<bool> checkOn{false};
#else
std::atomic<bool> checkOn{true};
#endif

thread_local int loopDepth = 0;
std::atomic<std::size_t> inFlight{0};

// A worker made on first use and never destroyed: what static objects do as the process exits (a
// test's daemon stopped and waited for) may still need it, and a never-destroyed worker needs no
// thread started before main.
class LazyWorker {
 public:
  constexpr explicit LazyWorker(const char* name) : name_(name) {}

  WorkerThread& get() {
    if (auto* worker = worker_.load(std::memory_order_acquire)) return *worker;
    auto* fresh = new WorkerThread(name_);
    WorkerThread* expected = nullptr;
    if (worker_.compare_exchange_strong(expected, fresh, std::memory_order_acq_rel)) return *fresh;
    delete fresh;  // another thread made it first
    return *expected;
  }

  // In a forked child: the parent's worker thread did not come along, so its worker (and what it
  // holds locked) is left as it is, and the child's first use makes one of its own.
  void forget() { worker_.store(nullptr, std::memory_order_relaxed); }

 private:
  const char* name_;
  std::atomic<WorkerThread*> worker_{nullptr};
};

constinit LazyWorker blockingOne("brindlet-block");
constinit LazyWorker secretsOne("brindlet-secrets");

void forgetWorkersInChild() {
  blockingOne.forget();
  secretsOne.forget();
  inFlight.store(0);  // the parent's calls never answer here
}

// Registered while the program starts, before any worker can exist.
[[maybe_unused]] const int forkHandled = ::pthread_atfork(nullptr, nullptr, &forgetWorkersInChild);

[[noreturn]] void blockedOnLoop(const char* what) {
  Logger::of("runtime").error("blocking call on the main loop: %s", what);
  // The stack names the caller; written straight to the descriptor, without allocating.
  void* frames[64];
  const int count = ::backtrace(frames, 64);
  ::backtrace_symbols_fd(frames, count, STDERR_FILENO);
  std::abort();
}

}  // namespace

WorkerThread& blockingWorker() {
  return blockingOne.get();
}

WorkerThread& secretsWorker() {
  return secretsOne.get();
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

void mayBlock(const char* what) {
  if (loopDepth > 0 && checkOn.load(std::memory_order_relaxed)) blockedOnLoop(what);
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
