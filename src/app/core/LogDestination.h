#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "runtime/Log.h"

namespace brindlet::app {

// A file as the kernel names it: the device it is on and its inode there.
struct FileIdentity {
  std::uint64_t device = 0;
  std::uint64_t inode = 0;

  friend bool operator==(const FileIdentity&, const FileIdentity&) = default;
};

// What the process's surroundings say about where its log is read.
struct LogSurroundings {
  bool standardErrorIsTerminal = false;
  // JOURNAL_STREAM as the process found it: systemd sets it to "device:inode" of the stream it
  // made standard error. Unset: nothing.
  std::optional<std::string> journalStream{};
  std::optional<FileIdentity> standardError{};  // nothing when standard error is closed
  bool journalListening = false;                // the journal's socket is there
  bool bothAsked = false;                       // the user asked for both with --log-both
};

struct LogDestinations {
  bool standardError = true;
  bool journal = false;

  friend bool operator==(const LogDestinations&, const LogDestinations&) = default;
};

// Whether standard error is the stream systemd connected to the journal. The variable alone
// says nothing: a terminal started by the user's systemd manager hands it down to every shell,
// so only a standard error with the very device and inode it names is the journal's.
bool standardErrorIsJournal(const LogSurroundings& surroundings);

// An app started at login writes standard error to a file nobody reads, so its log goes to the
// journal, with the category as a field; in a terminal it stays there. A log never goes nowhere:
// without a listening journal it stays on standard error. Both, when asked for, never write a
// line twice to the journal.
LogDestinations logDestinations(const LogSurroundings& surroundings);

// The variable that asks for more (or less) of the log than the info lines: a level for every
// area ("debug"), levels for some ("transport:debug,deck:debug"), or both ("error,deck:debug");
// blanks around the words are allowed ("error, deck:debug").
inline constexpr const char* kLogLevelVariable = "BRINDLET_LOG";

struct LogThresholds {
  runtime::LogLevel all = runtime::LogLevel::info;
  std::vector<std::pair<std::string, runtime::LogLevel>> categories;
  std::vector<std::string> ignored;  // the words that name no level, as written

  friend bool operator==(const LogThresholds&, const LogThresholds&) = default;
};

// The thresholds the variable's value asks for; unset or empty: info everywhere, so that what
// is tried again and again (a missing daemon) stays out of the log until someone asks.
LogThresholds logThresholds(std::optional<std::string_view> variable);

}  // namespace brindlet::app
