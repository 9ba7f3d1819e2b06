#include "runtime/JournalSink.h"

#define SD_JOURNAL_SUPPRESS_LOCATION  // the place in this file says nothing about the entry
#include <systemd/sd-journal.h>

namespace brindlet::runtime {
namespace {

int priorityOf(LogLevel level) {
  switch (level) {
    case LogLevel::debug:
      return 7;
    case LogLevel::info:
      return 6;
    case LogLevel::error:
      return 3;
  }
  return 6;
}

}  // namespace

void JournalSink::write(const LogEntry& entry) {
  sd_journal_send("MESSAGE=%s", entry.message.c_str(), "PRIORITY=%d", priorityOf(entry.level),
                  "SUBSYSTEM=%s", entry.subsystem.c_str(), "CATEGORY=%s", entry.category.c_str(),
                  nullptr);
}

}  // namespace brindlet::runtime
