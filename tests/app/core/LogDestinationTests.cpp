#include <gtest/gtest.h>

#include "app/core/LogDestination.h"

namespace brindlet::app {
namespace {

using runtime::LogLevel;

TEST(LogDestination, FollowsWhereTheLogIsRead) {
  const FileIdentity pipe{27, 41865};
  const FileIdentity tty{5, 3};
  struct Row {
    const char* what;
    LogSurroundings surroundings;
    LogDestinations expected;
  };
  const Row rows[] = {
      {"terminal", {.standardErrorIsTerminal = true, .journalListening = true}, {true, false}},
      {"started at login", {.journalListening = true}, {false, true}},
      {"under systemd",
       {.journalStream = "27:41865", .standardError = pipe, .journalListening = true},
       {false, true}},
      // A terminal that systemd started hands the variable down to every shell in it.
      {"terminal with systemd's variable",
       {.standardErrorIsTerminal = true,
        .journalStream = "27:41865",
        .standardError = tty,
        .journalListening = true},
       {true, false}},
      {"terminal, the variable unset",
       {.standardErrorIsTerminal = true, .standardError = tty, .journalListening = true},
       {true, false}},
      {"terminal, the variable's inode only",
       {.standardErrorIsTerminal = true,
        .journalStream = "5:41865",
        .standardError = tty,
        .journalListening = true},
       {true, false}},
      {"both asked", {.journalListening = true, .bothAsked = true}, {true, true}},
      {"both asked in a terminal",
       {.standardErrorIsTerminal = true, .journalListening = true, .bothAsked = true},
       {true, true}},
      // Nothing is lost where no journal listens.
      {"no journal", {}, {true, false}},
      {"no journal, systemd's stream",
       {.journalStream = "27:41865", .standardError = pipe},
       {true, false}},
      {"no journal, both asked", {.bothAsked = true}, {true, false}},
  };
  for (const auto& row : rows) {
    EXPECT_EQ(logDestinations(row.surroundings), row.expected) << row.what;
  }
}

// --log-both where standard error already is the journal: each line reaches it once.
TEST(LogDestination, BothAskedWriteEachLineOnce) {
  const struct {
    const char* journalStream;  // standard error is 27:41865
    LogDestinations expected;
  } rows[] = {{"27:41865", {false, true}}, {"27:41866", {true, true}}};
  for (const auto& row : rows) {
    const LogSurroundings surroundings{.journalStream = row.journalStream,
                                       .standardError = FileIdentity{27, 41865},
                                       .journalListening = true,
                                       .bothAsked = true};
    EXPECT_EQ(logDestinations(surroundings), row.expected) << row.journalStream;
  }
}

TEST(LogDestination, StandardErrorIsTheJournalOnlyWhereTheVariableNamesIt) {
  const FileIdentity stream{27, 41865};
  const struct {
    std::optional<std::string> variable;
    std::optional<FileIdentity> standardError;
    bool journal;
  } rows[] = {
      {"27:41865", stream, true},
      {"27:41866", stream, false},
      {"28:41865", stream, false},
      {std::nullopt, stream, false},
      {"27:41865", std::nullopt, false},
      // Malformed: not two decimal numbers around one colon.
      {"", stream, false},
      {"27", stream, false},
      {"27:", stream, false},
      {":41865", stream, false},
      {"27:41865:1", stream, false},
      {"27:41865 ", stream, false},
      {"0x1b:41865", stream, false},
      {"-27:41865", stream, false},
      {"27:99999999999999999999999", stream, false},
  };
  for (const auto& row : rows) {
    LogSurroundings surroundings{.journalStream = row.variable, .standardError = row.standardError};
    EXPECT_EQ(standardErrorIsJournal(surroundings), row.journal)
        << row.variable.value_or("(unset)");
  }
}

TEST(LogThresholds, InfoUnlessTheVariableAsksForMore) {
  using Categories = std::vector<std::pair<std::string, LogLevel>>;
  using Words = std::vector<std::string>;
  const struct {
    std::optional<std::string_view> variable;
    LogThresholds expected;
  } rows[] = {
      {std::nullopt, {LogLevel::info, {}, {}}},
      {"", {LogLevel::info, {}, {}}},
      {"debug", {LogLevel::debug, {}, {}}},
      {"error", {LogLevel::error, {}, {}}},
      {"transport:debug", {LogLevel::info, Categories{{"transport", LogLevel::debug}}, {}}},
      {"error,deck:debug,transport:info",
       {LogLevel::error, Categories{{"deck", LogLevel::debug}, {"transport", LogLevel::info}}, {}}},
      {"debug,,", {LogLevel::debug, {}, {}}},
      {"error, deck:debug", {LogLevel::error, Categories{{"deck", LogLevel::debug}}, {}}},
      {" debug , transport : info ",
       {LogLevel::debug, Categories{{"transport", LogLevel::info}}, {}}},
      {"error, deck:loud", {LogLevel::error, {}, Words{"deck:loud"}}},
      {"verbose,deck:loud,:debug,deck:,DEBUG",
       {LogLevel::info, {}, Words{"verbose", "deck:loud", ":debug", "deck:", "DEBUG"}}},
  };
  for (const auto& row : rows) {
    EXPECT_EQ(logThresholds(row.variable), row.expected) << row.variable.value_or("(unset)");
  }
}

}  // namespace
}  // namespace brindlet::app
