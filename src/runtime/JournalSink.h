#pragma once

#include "runtime/Log.h"

namespace brindlet::runtime {

// Sends each entry to the systemd journal: the message with its priority (debug 7, info 6,
// error 3) and the fields SUBSYSTEM and CATEGORY, so that `journalctl CATEGORY=deck` picks one
// area. Entries are dropped when no journal listens.
class JournalSink : public LogSink {
 public:
  void write(const LogEntry& entry) override;
};

}  // namespace brindlet::runtime
