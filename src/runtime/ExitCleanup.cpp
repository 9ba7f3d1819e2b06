#include "runtime/ExitCleanup.h"

#include <dirent.h>
#include <execinfo.h>
#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <unistd.h>

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

// SIGKILL to the groups of this process's children (to the child itself when it shares our
// group), found in /proc.
void killChildren() {
  const int proc = ::open("/proc", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (proc < 0) return;
  const int self = ::getpid();
  const int own = ::getpgrp();
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
      if (group == own) {
        ::kill(pid, SIGKILL);
      } else if (group > 0) {
        ::kill(-group, SIGKILL);
      }
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

constexpr int fatalSignals[] = {SIGSEGV, SIGBUS, SIGABRT, SIGFPE, SIGILL, SIGTRAP, SIGSYS};
constinit std::atomic<bool> crashed{false};
constinit std::atomic<CrashEnding> crashEnding{nullptr};
// The stack a crash's handler runs on, so that a stack overflow reaches it too.
alignas(16) constinit char crashStack[64 * 1024] = {};

void onFatalSignal(int number) {
  // SA_RESETHAND has put the default action back: the same signal ends the process once this
  // returns, whether a fault comes again or the raise below is delivered.
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

}  // namespace

void coverFatalSignals() {
  // The first backtrace loads the unwinder, which allocates: done here, not in a crash.
  void* frames[2];
  ::backtrace(frames, 2);
  stack_t stack{};
  stack.ss_sp = crashStack;
  stack.ss_size = sizeof crashStack;
  ::sigaltstack(&stack, nullptr);
  struct sigaction action {};
  action.sa_handler = onFatalSignal;
  action.sa_flags = SA_ONSTACK | SA_RESETHAND;
  sigemptyset(&action.sa_mask);
  for (int number : fatalSignals) ::sigaction(number, &action, nullptr);
}

void setCrashEnding(CrashEnding ending) {
  crashEnding = ending;
}

}  // namespace brindlet::runtime
