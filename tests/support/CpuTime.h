#pragma once

#include <sys/types.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

namespace brindlet::testsupport {

// The process's CPU time so far (all its threads), in seconds; 0 when it cannot be read.
inline double cpuSeconds(pid_t pid) {
  std::string stat;
  std::getline(std::ifstream("/proc/" + std::to_string(pid) + "/stat"), stat);
  const auto end = stat.rfind(')');
  if (end == std::string::npos) return 0;
  std::istringstream fields(stat.substr(end + 2));
  std::string field;
  unsigned long long user = 0, system = 0;
  // After the name: state is field 3; user and system time are fields 14 and 15.
  for (int at = 3; at <= 15 && fields >> field; ++at) {
    if (at == 14) user = std::stoull(field);
    if (at == 15) system = std::stoull(field);
  }
  return double(user + system) / double(::sysconf(_SC_CLK_TCK));
}

// Cores the process used over `span`, while `meanwhile` runs on this thread (it is called until
// the span is over).
template <class Meanwhile>
double coresOver(pid_t pid, std::chrono::seconds span, Meanwhile meanwhile) {
  const double before = cpuSeconds(pid);
  const auto end = std::chrono::steady_clock::now() + span;
  while (std::chrono::steady_clock::now() < end) meanwhile();
  return (cpuSeconds(pid) - before) / double(span.count());
}

inline double coresOver(pid_t pid, std::chrono::seconds span) {
  return coresOver(pid, span, [] { std::this_thread::sleep_for(std::chrono::milliseconds(50)); });
}

}  // namespace brindlet::testsupport
