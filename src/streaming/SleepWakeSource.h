#pragma once

#include <functional>

namespace brindlet::streaming {

// Tells, on the main loop, that the computer is about to sleep and that it woke.
class SleepWakeSource {
 public:
  virtual ~SleepWakeSource() = default;
  // Replaces both handlers; empty handlers stop the notices.
  virtual void setHandlers(std::function<void()> willSleep, std::function<void()> didWake) = 0;
};

}  // namespace brindlet::streaming
