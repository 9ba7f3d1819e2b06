#include "app/linux/LogSinks.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "app/core/LogDestination.h"
#include "runtime/JournalSink.h"
#include "runtime/Log.h"

namespace brindlet::app {
namespace {

std::optional<std::string> variable(const char* name) {
  const char* value = std::getenv(name);
  return value ? std::optional<std::string>(value) : std::nullopt;
}

}  // namespace

void attachLogSinks(int argc, char** argv) {
  LogSurroundings surroundings;
  surroundings.standardErrorIsTerminal = isatty(STDERR_FILENO) == 1;
  surroundings.journalStream = variable("JOURNAL_STREAM");
  struct stat standardError {};
  if (fstat(STDERR_FILENO, &standardError) == 0) {
    surroundings.standardError =
        FileIdentity{std::uint64_t(standardError.st_dev), std::uint64_t(standardError.st_ino)};
  }
  surroundings.journalListening = access("/run/systemd/journal/socket", W_OK) == 0;
  for (int i = 1; i < argc; ++i) {
    if (std::string_view(argv[i]) == "--log-both") surroundings.bothAsked = true;
  }
  const auto thresholds = logThresholds(variable(kLogLevelVariable));
  runtime::Log::setThreshold(thresholds.all);
  for (const auto& [category, level] : thresholds.categories)
    runtime::Log::setThreshold(category, level);

  const auto destinations = logDestinations(surroundings);
  if (destinations.journal) runtime::Log::attach(std::make_shared<runtime::JournalSink>());
  if (!destinations.standardError) runtime::Log::detachStandardError();
  for (const auto& word : thresholds.ignored) {
    runtime::Logger::of("app").error("%s: \"%s\" names no level (debug, info, error); ignored",
                                     kLogLevelVariable, word.c_str());
  }
}

}  // namespace brindlet::app
