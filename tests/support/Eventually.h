#pragma once

#include <sys/types.h>

#include <chrono>
#include <fstream>
#include <iterator>
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
inline bool processGone(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  const std::string stat((std::istreambuf_iterator<char>(in)), {});
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
