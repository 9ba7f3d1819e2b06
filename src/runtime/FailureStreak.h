#pragma once

#include <atomic>
#include <string>

#include "runtime/Log.h"

namespace brindlet::runtime {

// The log of a source that is tried again and again while it fails, such as a daemon that is not
// running: the first failure of a run goes out as an error, its repeats at debug, and the first
// success after it as one info line. A missing daemon then costs two lines, not one every few
// seconds. Safe from any thread.
class FailureStreak {
 public:
  explicit FailureStreak(const Logger& logger) : logger_(logger) {}
  FailureStreak(const FailureStreak&) = delete;
  FailureStreak& operator=(const FailureStreak&) = delete;

  // One failure, in the words the source logs it with.
  void failed(const std::string& line);
  // The source works: `line` at info when it was failing, else nothing.
  void worked(const std::string& line);

 private:
  const Logger& logger_;
  std::atomic<bool> failing_{false};
};

}  // namespace brindlet::runtime
