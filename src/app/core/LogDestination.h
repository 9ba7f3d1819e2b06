#pragma once

namespace brindlet::app {

// What the process's surroundings say about where its log is read.
struct LogSurroundings {
  bool standardErrorIsTerminal = false;
  bool journalStream = false;     // JOURNAL_STREAM set: systemd took standard error itself
  bool journalListening = false;  // the journal's socket is there
  bool bothAsked = false;         // the user asked for both with --log-both
};

struct LogDestinations {
  bool standardError = true;
  bool journal = false;

  friend bool operator==(const LogDestinations&, const LogDestinations&) = default;
};

// An app started at login writes standard error to a file nobody reads, so its log goes to the
// journal, with the category as a field; in a terminal it stays there. A log never goes nowhere:
// without a listening journal it stays on standard error.
LogDestinations logDestinations(const LogSurroundings& surroundings);

}  // namespace brindlet::app
