#include "runtime/ExitCleanup.h"

#include <dirent.h>
#include <execinfo.h>
#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

namespace brindlet::runtime {

namespace {

// A file's place: free, being written or taken back by its owner, held, or claimed by a clean-up
// that has begun (never reused from then on).
enum SlotState : int { freeSlot, changing, held, claimed };

struct FileSlot {
  std::atomic<int> state{freeSlot};
  std::atomic<std::uint64_t> hash{0};  // compared before the path, which only its owner reads
  char path[PATH_MAX] = {};
};

constinit FileSlot files[16];
constinit std::atomic<pid_t> groups[256];
constinit std::atomic<bool> ending{false};

std::uint64_t hashOf(std::string_view text) {
  std::uint64_t hash = 1469598103934665603ull;  // FNV-1a
  for (const char c : text) hash = (hash ^ static_cast<unsigned char>(c)) * 1099511628211ull;
  return hash;
}

// Takes the held slot that holds `text` for a change (state `changing`); null when none does.
FileSlot* takeHeld(const std::string& text, std::uint64_t hash) {
  for (auto& slot : files) {
    if (slot.hash.load() != hash) continue;
    int expected = held;
    if (!slot.state.compare_exchange_strong(expected, changing)) continue;
    if (text == slot.path) return &slot;
    slot.state.store(held);
  }
  return nullptr;
}

}  // namespace

bool removeFileOnExit(const std::filesystem::path& path) {
  const std::string text = path.string();
  if (text.empty() || text.size() >= PATH_MAX || ending.load()) return false;
  const auto hash = hashOf(text);
  if (FileSlot* slot = takeHeld(text, hash)) {
    slot->state.store(held);
    return true;
  }
  for (auto& slot : files) {
    int expected = freeSlot;
    if (!slot.state.compare_exchange_strong(expected, changing)) continue;
    std::memcpy(slot.path, text.c_str(), text.size() + 1);
    slot.hash.store(hash);
    slot.state.store(held);
    return true;
  }
  return false;
}

void keepFileOnExit(const std::filesystem::path& path) {
  const std::string text = path.string();
  if (FileSlot* slot = takeHeld(text, hashOf(text))) {
    slot->hash.store(0);
    slot->path[0] = '\0';
    slot->state.store(freeSlot);
  }
}

bool endGroupOnExit(pid_t group) {
  if (group <= 0) return false;
  for (const auto& place : groups) {
    if (place.load() == group) return true;
  }
  for (auto& place : groups) {
    pid_t free = 0;
    if (place.compare_exchange_strong(free, group)) return true;
  }
  return false;
}

void keepGroupOnExit(pid_t group) {
  if (group <= 0) return;
  for (auto& place : groups) {
    pid_t held = group;
    if (place.compare_exchange_strong(held, 0)) return;
  }
}

std::vector<pid_t> groupsEndedOnExit() {
  std::vector<pid_t> found;
  for (const auto& place : groups) {
    if (const pid_t group = place.load(); group != 0) found.push_back(group);
  }
  return found;
}

namespace {

// Signal-safe pieces: system calls, no allocation, no lock.

// The number at `text`, skipping spaces before it; where it ends.
const char* readNumber(const char* text, const char* end, int& number) {
  while (text < end && *text == ' ') ++text;
  const bool negative = text < end && *text == '-';
  if (negative) ++text;
  number = 0;
  for (; text < end && *text >= '0' && *text <= '9'; ++text) number = number * 10 + (*text - '0');
  if (negative) number = -number;
  return text;
}

// The parent and the group of a process from its /proc/<pid>/stat: "pid (name) state parent
// group ...", the fields counted from the last ')'.
bool parentAndGroup(const char* pid, int& parent, int& group) {
  char path[64] = "/proc/";
  std::size_t at = std::strlen(path);
  for (const char* c = pid; *c && at + 6 < sizeof path; ++c) path[at++] = *c;
  std::memcpy(path + at, "/stat", 6);
  const int fd = ::open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  char text[512];
  const ssize_t n = ::read(fd, text, sizeof text);
  ::close(fd);
  if (n <= 0) return false;
  const char* end = text + n;
  const char* close = nullptr;
  for (const char* c = text; c < end; ++c) {
    if (*c == ')') close = c;
  }
  if (!close || end - close < 4) return false;
  readNumber(readNumber(close + 4, end, parent), end, group);
  return true;
}

// SIGKILL to the groups that this process's children lead, found in /proc: the programs it
// starts each lead one of their own. A child in a group it does not lead is not ours to end: a
// reader of our standard error that the shell started as our child, in our own group.
void killChildren() {
  const int proc = ::open("/proc", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (proc < 0) return;
  const int self = ::getpid();
  alignas(dirent64) char buffer[4096];
  for (;;) {
    const ssize_t n = ::getdents64(proc, buffer, sizeof buffer);
    if (n <= 0) break;
    for (ssize_t at = 0; at < n;) {
      const auto* entry = reinterpret_cast<const dirent64*>(buffer + at);
      at += entry->d_reclen;
      if (entry->d_name[0] < '1' || entry->d_name[0] > '9') continue;
      int parent = 0, group = 0, pid = 0;
      readNumber(entry->d_name, entry->d_name + std::strlen(entry->d_name), pid);
      if (!parentAndGroup(entry->d_name, parent, group) || parent != self) continue;
      if (group == pid) ::kill(-group, SIGKILL);
    }
  }
  ::close(proc);
}

void writeText(const char* text) {
  [[maybe_unused]] const auto written = ::write(STDERR_FILENO, text, std::strlen(text));
}

}  // namespace

void cleanUpForExit() noexcept {
  ending.store(true);
  for (auto& slot : files) {
    int expected = held;
    slot.state.compare_exchange_strong(expected, claimed);
    if (slot.state.load() == claimed) ::unlink(slot.path);
  }
  const int own = ::getpgrp();
  for (const auto& place : groups) {
    const pid_t group = place.load();
    if (group > 0 && group != own) ::kill(-group, SIGKILL);
  }
  killChildren();
}

namespace {

// What a signal does to the process, for every signal whose default would end it, except SIGKILL,
// the app's own quit signals (SIGTERM, SIGINT, SIGHUP: the App's) and SIGPIPE (ignored by the
// process code: a write to a closed pipe fails instead). The test hooks put their own handlers
// on SIGUSR1 and SIGUSR2 after these.
enum class Response {
  crash,  // the clean-up and the stack, then the crash's ending (by the signal itself, default)
  end,    // the clean-up, then the signal's own default end
  ignore,
};
// Where a signal comes from: the process itself (a fault, abort(), a breakpoint), whose handler
// replaces whatever a library put there before main; or sent, whose action is left as it was
// found when that was not the default: ignored by whoever started us (a shell's background job
// ignores SIGQUIT), or handled by a profiler that started before main.
enum class Source { raised, sent };
struct Rule {
  int signal;
  Response response;
  Source source;
  int last = 0;  // a range up to here
};

// Ignoring changes nothing for the programs we start: they start with every signal at its
// default (Process.cpp).
std::vector<Rule> signalRules() {
  using enum Response;
  using enum Source;
  return {
      {SIGSEGV, crash, raised},
      {SIGBUS, crash, raised},
      {SIGABRT, crash, raised},
      {SIGFPE, crash, raised},
      {SIGILL, crash, raised},
      {SIGTRAP, crash, raised},  // GLib's g_error
      {SIGSYS, crash, raised},   // a system call a filter refused
      // Ctrl-\ asks for a core dump, as a stuck app's stack: it gets ours too.
      {SIGQUIT, crash, sent},
      // Nothing of ours uses these (SIGIO without O_ASYNC, the real-time ones): whoever sends one
      // (a tool that tells every process to reopen its logs, alarm() with no handler, init's
      // power failure, the soft CPU limit) gets the end its default makes, with nothing left.
      {SIGUSR1, end, sent},
      {SIGUSR2, end, sent},
      {SIGALRM, end, sent},
      {SIGIO, end, sent},
      {SIGPWR, end, sent},
      {SIGSTKFLT, end, sent},
      {SIGXCPU, end, sent},
      {SIGRTMIN, end, sent, SIGRTMAX},
      // Past the file size limit a write fails with EFBIG, which the file code reports as it
      // does any failed write: a log grown to the limit must not end the app.
      {SIGXFSZ, ignore, sent},
      // A profiler's ticks: never a request to end. A profiler that started before main (gprof's)
      // keeps its handler, as any sent signal found handled; one that starts later puts its own
      // in place; a tick that comes with no profiler means nothing.
      {SIGPROF, ignore, sent},
      {SIGVTALRM, ignore, sent},
  };
}

constinit std::atomic<bool> crashed{false};
constinit std::atomic<CrashEnding> crashEnding{nullptr};
// The stack a crash's handler runs on in the thread that covers the signals.
constexpr std::size_t crashStackSize = 64 * 1024;
alignas(16) constinit char crashStack[crashStackSize] = {};

// SA_RESETHAND has put the default action back before either handler runs: the same signal ends
// the process once it returns, whether a fault comes again or the raise at its end is delivered.

void onCrash(int number) {
  if (!crashed.exchange(true)) {
    cleanUpForExit();
    // Whatever the ending, the stack says whose code crashed.
    char line[64] = "Brindlet crashed (signal ";
    std::size_t at = std::strlen(line);
    char digits[12];
    int count = 0;
    for (int n = number; n > 0 && count < 11; n /= 10)
      digits[count++] = static_cast<char>('0' + n % 10);
    while (count > 0) line[at++] = digits[--count];
    std::memcpy(line + at, "):\n", 4);
    writeText(line);
    void* frames[64];
    ::backtrace_symbols_fd(frames, ::backtrace(frames, 64), STDERR_FILENO);
    if (const auto ending = crashEnding.load()) {
      if (const int status = ending(); status >= 0) ::_exit(status);
    }
  }
  ::raise(number);
}

void onEndingSignal(int number) {
  if (!crashed.exchange(true)) cleanUpForExit();
  ::raise(number);
}

// The threads' stacks for the crash handler, taken as a thread starts and given back as it ends.
// Reserved in the program's zero-filled storage, whose pages take no memory until a crash writes
// to them: a stack that only a crash uses then costs nothing, where one taken from the heap may
// be memory already touched, held by each thread for its whole life. Past the last one, a thread
// takes its stack from the heap.
constexpr int reservedStacks = 64;
alignas(16) constinit char stackReserve[reservedStacks][crashStackSize] = {};
constinit std::atomic<bool> stackTaken[reservedStacks] = {};

// A thread's stack for the crash handler: made as the thread starts and given back as it ends,
// never in a signal's path. A thread that has one already (the one that covered the signals, or
// one a sanitizer gave it) keeps it.
class ThreadCrashStack {
 public:
  ThreadCrashStack() {
    stack_t current{};
    if (::sigaltstack(nullptr, &current) == 0 && !(current.ss_flags & SS_DISABLE)) return;
    char* memory = take();
    stack_t stack{};
    stack.ss_sp = memory;
    stack.ss_size = crashStackSize;
    if (::sigaltstack(&stack, nullptr) == 0) {
      memory_ = memory;
    } else {
      giveBack(memory);
    }
  }
  ~ThreadCrashStack() {
    if (!memory_) return;
    stack_t off{};
    off.ss_flags = SS_DISABLE;
    ::sigaltstack(&off, nullptr);
    giveBack(memory_);
  }
  ThreadCrashStack(const ThreadCrashStack&) = delete;
  ThreadCrashStack& operator=(const ThreadCrashStack&) = delete;

 private:
  static char* take() {
    for (int i = 0; i < reservedStacks; ++i) {
      if (!stackTaken[i].exchange(true)) return stackReserve[i];
    }
    return new char[crashStackSize];
  }
  static void giveBack(char* memory) {
    for (int i = 0; i < reservedStacks; ++i) {
      if (memory == stackReserve[i]) {
        stackTaken[i].store(false);
        return;
      }
    }
    delete[] memory;
  }

  char* memory_ = nullptr;
};

}  // namespace

void coverFatalSignals() {
  // The first backtrace loads the unwinder, which allocates: done here, not in a crash.
  void* frames[2];
  ::backtrace(frames, 2);
  stack_t stack{};
  stack.ss_sp = crashStack;
  stack.ss_size = sizeof crashStack;
  ::sigaltstack(&stack, nullptr);
  for (const Rule& rule : signalRules()) {
    for (int number = rule.signal; number <= std::max(rule.signal, rule.last); ++number) {
      struct sigaction found {};
      ::sigaction(number, nullptr, &found);
      if (rule.source == Source::sent && found.sa_handler != SIG_DFL) continue;
      struct sigaction action {};
      action.sa_flags = SA_ONSTACK | SA_RESETHAND;
      sigemptyset(&action.sa_mask);
      switch (rule.response) {
        case Response::crash:
          action.sa_handler = onCrash;
          break;
        case Response::end:
          action.sa_handler = onEndingSignal;
          break;
        case Response::ignore:
          action.sa_handler = SIG_IGN;
          break;
      }
      ::sigaction(number, &action, nullptr);
    }
  }
}

void coverThisThread() {
  thread_local ThreadCrashStack stack;
}

void setCrashEnding(CrashEnding ending) {
  crashEnding = ending;
}

}  // namespace brindlet::runtime
