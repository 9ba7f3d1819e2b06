#include <gtest/gtest.h>

#include "app/core/LogDestination.h"

namespace brindlet::app {
namespace {

TEST(LogDestination, FollowsWhereTheLogIsRead) {
  struct Row {
    const char* what;
    LogSurroundings surroundings;
    LogDestinations expected;
  };
  const Row rows[] = {
      {"terminal", {.standardErrorIsTerminal = true, .journalListening = true}, {true, false}},
      {"started at login", {.journalListening = true}, {false, true}},
      {"under systemd",
       {.standardErrorIsTerminal = true, .journalStream = true, .journalListening = true},
       {false, true}},
      {"both asked", {.journalListening = true, .bothAsked = true}, {true, true}},
      {"both asked in a terminal",
       {.standardErrorIsTerminal = true, .journalListening = true, .bothAsked = true},
       {true, true}},
      // Nothing is lost where no journal listens.
      {"no journal", {}, {true, false}},
      {"no journal, systemd's variable", {.journalStream = true}, {true, false}},
      {"no journal, both asked", {.bothAsked = true}, {true, false}},
  };
  for (const auto& row : rows) {
    EXPECT_EQ(logDestinations(row.surroundings), row.expected) << row.what;
  }
}

}  // namespace
}  // namespace brindlet::app
