#include "app/linux/LogSinks.h"

#include <unistd.h>

#include <cstdlib>
#include <memory>
#include <string_view>

#include "app/core/LogDestination.h"
#include "runtime/JournalSink.h"
#include "runtime/Log.h"

namespace brindlet::app {

void attachLogSinks(int argc, char** argv) {
  LogSurroundings surroundings;
  surroundings.standardErrorIsTerminal = isatty(STDERR_FILENO) == 1;
  surroundings.journalStream = std::getenv("JOURNAL_STREAM") != nullptr;
  surroundings.journalListening = access("/run/systemd/journal/socket", W_OK) == 0;
  for (int i = 1; i < argc; ++i) {
    if (std::string_view(argv[i]) == "--log-both") surroundings.bothAsked = true;
  }
  const auto destinations = logDestinations(surroundings);
  if (destinations.journal) runtime::Log::attach(std::make_shared<runtime::JournalSink>());
  if (!destinations.standardError) runtime::Log::detachStandardError();
}

}  // namespace brindlet::app
