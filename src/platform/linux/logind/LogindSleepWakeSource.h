#pragma once

#include <functional>
#include <memory>
#include <string>

#include <boost/asio/any_io_executor.hpp>

#include "streaming/SleepWakeSource.h"

namespace brindlet::platform {

// Sleep and wake from logind's PrepareForSleep signal, read on the given loop. Only the signal
// of the bus name's owner counts; anyone else may send one with the same name.
class LogindSleepWakeSource : public streaming::SleepWakeSource {
 public:
  // An empty address means the system bus. Without a bus the source logs why and stays silent.
  explicit LogindSleepWakeSource(boost::asio::any_io_executor loop, std::string busAddress = {});
  ~LogindSleepWakeSource() override;
  LogindSleepWakeSource(const LogindSleepWakeSource&) = delete;
  LogindSleepWakeSource& operator=(const LogindSleepWakeSource&) = delete;

  void setHandlers(std::function<void()> willSleep, std::function<void()> didWake) override;
  // Whether it listens (it reached the bus).
  bool isListening() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace brindlet::platform
