#pragma once

#include <fcntl.h>
#include <sys/types.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

namespace brindlet::testsupport {

// Polls the condition until it holds or the time runs out; whether it holds. For tests that wait
// on other processes and threads without a loop to run.
template <class Condition>
bool eventually(Condition condition, std::chrono::milliseconds timeout,
                std::chrono::milliseconds every = std::chrono::milliseconds(10)) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(every);
  }
  return true;
}

// Whether the process has ended: no entry, or dead and waiting to be reaped by someone else.
// Read with open/read: an iostream read of a process that ends meanwhile throws.
inline bool processGone(pid_t pid) {
  const std::string path = "/proc/" + std::to_string(pid) + "/stat";
  std::string stat;
  if (const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC); fd >= 0) {
    char buffer[1024];
    const auto n = ::read(fd, buffer, sizeof buffer);
    if (n > 0) stat.assign(buffer, static_cast<std::size_t>(n));
    ::close(fd);
  }
  const auto end = stat.rfind(')');
  return end == std::string::npos || end + 2 >= stat.size() || stat[end + 2] == 'Z' ||
         stat[end + 2] == 'X';
}

// Whether each process has gone, waiting up to `within` for the last of them: a killed process
// takes a moment to go.
inline bool processesGone(const std::vector<pid_t>& pids,
                          std::chrono::milliseconds within = std::chrono::seconds(2)) {
  return eventually(
      [&] {
        for (pid_t pid : pids)
          if (!processGone(pid)) return false;
        return true;
      },
      within, std::chrono::milliseconds(5));
}

}  // namespace brindlet::testsupport
