#include "runtime/FailureStreak.h"

namespace brindlet::runtime {

void FailureStreak::failed(const std::string& line) {
  if (failing_.exchange(true)) {
    logger_.debug("%s", line.c_str());
  } else {
    logger_.error("%s", line.c_str());
  }
}

void FailureStreak::worked(const std::string& line) {
  if (failing_.exchange(false)) logger_.info("%s", line.c_str());
}

}  // namespace brindlet::runtime
