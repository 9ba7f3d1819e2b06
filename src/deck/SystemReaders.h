#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "deck/AccessibilityTree.h"
#include "deck/ReaderSource.h"
#include "runtime/Clock.h"
#include "runtime/ProcessTable.h"

namespace brindlet::deck {

// The production reader source: accessibility values of the app in front, the tails of log files
// and whether a process runs.
class SystemReaders : public ReaderSource {
 public:
  SystemReaders(AccessibilityTree& tree, runtime::ProcessTable& processes, runtime::Clock& clock);

  boost::asio::awaitable<ReaderValue> read(profiles::Reader reader,
                                           std::optional<FrontApp> app) override;

  // The text at an accessibility path in the app with that process id, or nothing. Runs on the
  // tree's side; the path is split at "/", and a "value" piece asks for the element's value.
  static std::optional<std::string> valueAt(AccessibilityTree& tree, int pid,
                                            std::string_view path);
  // The last `count` non-empty lines of the last 64 KiB of a regular file, in file order; nothing
  // when it cannot be opened or is not a regular file, no lines when it is not text.
  static std::optional<std::vector<std::string>> tailLines(const std::string& path,
                                                           std::int64_t count);
  // A leading "~/" becomes the user's home folder.
  static std::string expandHome(const std::string& path);

 private:
  boost::asio::awaitable<bool> isRunning(const std::string& name);

  AccessibilityTree& tree_;
  runtime::ProcessTable& processes_;
  runtime::Clock& clock_;
  // One scan serves every process reader of a refresh.
  std::optional<runtime::Clock::TimePoint> scanned_;
  std::vector<std::string> running_;  // executables' names
  std::optional<std::vector<std::string>> appNames_;
};

}  // namespace brindlet::deck
