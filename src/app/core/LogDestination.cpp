#include "app/core/LogDestination.h"

namespace brindlet::app {

LogDestinations logDestinations(const LogSurroundings& surroundings) {
  if (!surroundings.journalListening) return {.standardError = true, .journal = false};
  if (surroundings.bothAsked) return {.standardError = true, .journal = true};
  const bool journal = surroundings.journalStream || !surroundings.standardErrorIsTerminal;
  return {.standardError = !journal, .journal = journal};
}

}  // namespace brindlet::app
