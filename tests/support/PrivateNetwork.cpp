#include "support/PrivateNetwork.h"

#include <sched.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>

#include "support/ChildProcess.h"

namespace brindlet::testsupport {

std::optional<std::string> enterPrivateNetwork() {
  if (::geteuid() != 0) return std::string(kNeedsRoot);
  std::error_code error;
  const auto threads = std::distance(std::filesystem::directory_iterator("/proc/self/task", error),
                                     std::filesystem::directory_iterator());
  if (error || threads != 1) return "the process already runs more than one thread";
  if (::unshare(CLONE_NEWNET) != 0) {
    return std::string("no network namespace of its own: ") + std::strerror(errno);
  }
  const auto up = runProgram({"ip", "link", "set", "lo", "up"});
  if (up.status != 0) return "the loopback interface did not come up";
  return std::nullopt;
}

}  // namespace brindlet::testsupport
