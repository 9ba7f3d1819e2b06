#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace brindlet::runtime {

enum class LogLevel { debug, info, error };
std::string_view wordOf(LogLevel level);

struct LogEntry {
  std::string subsystem;
  std::string category;
  LogLevel level;
  std::string message;

  friend bool operator==(const LogEntry&, const LogEntry&) = default;
};

// Where log entries go. Sinks are called from any thread, one entry at a time per sink.
class LogSink {
 public:
  virtual ~LogSink() = default;
  virtual void write(const LogEntry& entry) = 0;
};

// One line per entry on standard error: "subsystem[category] level: message".
class StandardErrorSink : public LogSink {
 public:
  void write(const LogEntry& entry) override;
};

// Keeps every entry in memory so that tests can read what was logged.
class CaptureSink : public LogSink {
 public:
  void write(const LogEntry& entry) override;
  std::vector<LogEntry> entries() const;
  // Entries of one category (all categories when empty), at one level.
  std::vector<std::string> messages(std::string_view category, LogLevel level) const;
  void clear();

 private:
  mutable std::mutex mutex_;
  std::vector<LogEntry> entries_;
};

// The process-wide sink list. Standard error is attached until someone detaches it.
namespace Log {
inline constexpr std::string_view subsystem = "com.velvane.mac";
void attach(std::shared_ptr<LogSink> sink);
void detach(const std::shared_ptr<LogSink>& sink);
void write(const LogEntry& entry);
// Entries below the threshold are dropped before their text is made. A category's own threshold
// wins over the one for all categories; both start at debug (everything).
void setThreshold(LogLevel level);
void setThreshold(std::string_view category, LogLevel level);
// Takes standard error out of the list, for a process whose log goes elsewhere (the journal).
void detachStandardError();
}  // namespace Log

// Attaches a capture sink for its lifetime; tests make one per case.
class LogCapture {
 public:
  LogCapture();
  ~LogCapture();
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;

  CaptureSink& sink() { return *sink_; }
  std::vector<std::string> messages(std::string_view category, LogLevel level) const {
    return sink_->messages(category, level);
  }

 private:
  std::shared_ptr<CaptureSink> sink_;
};

// The logger of one area: a category of the system's subsystem, printf-style texts. There is one
// per category, shared by every file that logs in it.
class Logger {
 public:
  // The category's logger, made on first use. Safe from any thread; after the first call for a
  // category it takes no lock.
  static const Logger& of(std::string_view category);

  Logger(const Logger&) = delete;
  Logger& operator=(const Logger&) = delete;

  const std::string& category() const { return category_; }
  // Whether entries of the level pass the threshold: a disabled line costs this branch only.
  bool enables(LogLevel level) const {
    return level >= threshold_->load(std::memory_order_relaxed);
  }

  void debug(const char* format, ...) const __attribute__((format(printf, 2, 3)));
  void info(const char* format, ...) const __attribute__((format(printf, 2, 3)));
  void error(const char* format, ...) const __attribute__((format(printf, 2, 3)));

 private:
  Logger(std::string category, const std::atomic<LogLevel>* threshold)
      : category_(std::move(category)), threshold_(threshold) {}

  std::string category_;
  const std::atomic<LogLevel>* threshold_;
};

}  // namespace brindlet::runtime
