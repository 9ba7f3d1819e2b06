#include "app/core/LogDestination.h"

#include <charconv>

namespace brindlet::app {
namespace {

std::optional<std::uint64_t> decimal(std::string_view text) {
  std::uint64_t value = 0;
  const auto* end = text.data() + text.size();
  const auto [stop, error] = std::from_chars(text.data(), end, value);
  if (text.empty() || error != std::errc() || stop != end) return std::nullopt;
  return value;
}

// Blanks around the words and levels are allowed ("error, deck:debug").
std::string_view trimmed(std::string_view text) {
  const auto first = text.find_first_not_of(" \t");
  if (first == std::string_view::npos) return {};
  return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

std::optional<runtime::LogLevel> levelNamed(std::string_view word) {
  for (auto level : {runtime::LogLevel::debug, runtime::LogLevel::info, runtime::LogLevel::error})
    if (runtime::wordOf(level) == word) return level;
  return std::nullopt;
}

}  // namespace

bool standardErrorIsJournal(const LogSurroundings& surroundings) {
  if (!surroundings.journalStream || !surroundings.standardError) return false;
  const std::string_view named = *surroundings.journalStream;
  const auto colon = named.find(':');
  if (colon == std::string_view::npos) return false;
  const auto device = decimal(named.substr(0, colon));
  const auto inode = decimal(named.substr(colon + 1));
  return device && inode && FileIdentity{*device, *inode} == *surroundings.standardError;
}

LogDestinations logDestinations(const LogSurroundings& surroundings) {
  if (!surroundings.journalListening) return {.standardError = true, .journal = false};
  // Where standard error already is the journal, a second sink there would write each line
  // twice: the journal's own sink, which keeps the category, is the one kept.
  const bool standardErrorJournal = standardErrorIsJournal(surroundings);
  if (surroundings.bothAsked) return {.standardError = !standardErrorJournal, .journal = true};
  const bool journal = standardErrorJournal || !surroundings.standardErrorIsTerminal;
  return {.standardError = !journal, .journal = journal};
}

LogThresholds logThresholds(std::optional<std::string_view> variable) {
  LogThresholds thresholds;
  std::string_view rest = variable.value_or("");
  while (!rest.empty()) {
    const auto comma = rest.find(',');
    const std::string_view word = trimmed(rest.substr(0, comma));
    rest = comma == std::string_view::npos ? std::string_view() : rest.substr(comma + 1);
    if (word.empty()) continue;
    const auto colon = word.find(':');
    if (colon == std::string_view::npos) {
      if (auto level = levelNamed(word)) {
        thresholds.all = *level;
        continue;
      }
    } else if (auto level = levelNamed(trimmed(word.substr(colon + 1))); level && colon > 0) {
      thresholds.categories.emplace_back(std::string(trimmed(word.substr(0, colon))), *level);
      continue;
    }
    thresholds.ignored.emplace_back(word);
  }
  return thresholds;
}

}  // namespace brindlet::app
