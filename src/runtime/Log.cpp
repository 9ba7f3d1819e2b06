#include "runtime/Log.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <map>

namespace brindlet::runtime {
namespace {

struct Threshold {
  std::atomic<LogLevel> level{LogLevel::debug};
  bool own = false;  // set for this category, not by the one for all
};

// The loggers made so far. Readers search the current list without a lock; a new category
// publishes a longer copy, and the lists before it stay for readers that may still look at them.
using LoggerList = std::vector<const Logger*>;

struct Registry {
  std::mutex mutex;
  std::vector<std::shared_ptr<LogSink>> sinks{std::make_shared<StandardErrorSink>()};
  LogLevel threshold = LogLevel::debug;
  // Entries are never removed: loggers keep pointers to them.
  std::map<std::string, std::unique_ptr<Threshold>, std::less<>> thresholds;
  std::vector<std::unique_ptr<const Logger>> loggers;
  std::vector<std::unique_ptr<const LoggerList>> loggerLists;
  std::atomic<const LoggerList*> currentLoggers{nullptr};

  Threshold& of(std::string_view category) {
    auto found = thresholds.find(category);
    if (found == thresholds.end()) {
      found = thresholds.emplace(std::string(category), std::make_unique<Threshold>()).first;
      found->second->level = threshold;
    }
    return *found->second;
  }
};

const Logger* find(const LoggerList* list, std::string_view category) {
  if (!list) return nullptr;
  for (const Logger* logger : *list) {
    if (logger->category() == category) return logger;
  }
  return nullptr;
}

// Never destroyed: threads that outlive the statics (an X connection's worker reporting a lost
// server while the process exits) may still log.
Registry& registry() {
  static Registry* instance = new Registry;
  return *instance;
}

std::string format(const char* format, va_list args) {
  va_list copy;
  va_copy(copy, args);
  int length = std::vsnprintf(nullptr, 0, format, copy);
  va_end(copy);
  if (length <= 0) return {};
  std::string text(static_cast<std::size_t>(length), '\0');
  std::vsnprintf(text.data(), text.size() + 1, format, args);
  return text;
}

void emit(const std::string& category, LogLevel level, const char* fmt, va_list args) {
  Log::write({std::string(Log::subsystem), category, level, format(fmt, args)});
}

}  // namespace

std::string_view wordOf(LogLevel level) {
  switch (level) {
    case LogLevel::debug:
      return "debug";
    case LogLevel::info:
      return "info";
    case LogLevel::error:
      return "error";
  }
  return "?";
}

void StandardErrorSink::write(const LogEntry& entry) {
  std::string line = entry.subsystem + "[" + entry.category + "] " +
                     std::string(wordOf(entry.level)) + ": " + entry.message + "\n";
  std::fwrite(line.data(), 1, line.size(), stderr);
}

void CaptureSink::write(const LogEntry& entry) {
  std::lock_guard lock(mutex_);
  entries_.push_back(entry);
}

std::vector<LogEntry> CaptureSink::entries() const {
  std::lock_guard lock(mutex_);
  return entries_;
}

std::vector<std::string> CaptureSink::messages(std::string_view category, LogLevel level) const {
  std::lock_guard lock(mutex_);
  std::vector<std::string> out;
  for (const auto& e : entries_) {
    if ((category.empty() || e.category == category) && e.level == level) out.push_back(e.message);
  }
  return out;
}

void CaptureSink::clear() {
  std::lock_guard lock(mutex_);
  entries_.clear();
}

namespace Log {

void attach(std::shared_ptr<LogSink> sink) {
  std::lock_guard lock(registry().mutex);
  registry().sinks.push_back(std::move(sink));
}

void detach(const std::shared_ptr<LogSink>& sink) {
  std::lock_guard lock(registry().mutex);
  auto& sinks = registry().sinks;
  sinks.erase(std::remove(sinks.begin(), sinks.end(), sink), sinks.end());
}

void write(const LogEntry& entry) {
  std::vector<std::shared_ptr<LogSink>> sinks;
  {
    std::lock_guard lock(registry().mutex);
    sinks = registry().sinks;
  }
  for (const auto& sink : sinks) sink->write(entry);
}

void setThreshold(LogLevel level) {
  std::lock_guard lock(registry().mutex);
  registry().threshold = level;
  for (auto& [category, threshold] : registry().thresholds) {
    if (!threshold->own) threshold->level = level;
  }
}

void setThreshold(std::string_view category, LogLevel level) {
  std::lock_guard lock(registry().mutex);
  auto& threshold = registry().of(category);
  threshold.own = true;
  threshold.level = level;
}

void detachStandardError() {
  std::lock_guard lock(registry().mutex);
  auto& sinks = registry().sinks;
  std::erase_if(sinks, [](const std::shared_ptr<LogSink>& sink) {
    return dynamic_cast<const StandardErrorSink*>(sink.get()) != nullptr;
  });
}

}  // namespace Log

LogCapture::LogCapture() : sink_(std::make_shared<CaptureSink>()) {
  Log::attach(sink_);
}
LogCapture::~LogCapture() {
  Log::detach(sink_);
}

const Logger& Logger::of(std::string_view category) {
  auto& r = registry();
  if (auto* found = find(r.currentLoggers.load(std::memory_order_acquire), category)) return *found;
  std::lock_guard lock(r.mutex);
  const LoggerList* current = r.currentLoggers.load(std::memory_order_relaxed);
  if (auto* found = find(current, category)) return *found;
  r.loggers.push_back(
      std::unique_ptr<const Logger>(new Logger(std::string(category), &r.of(category).level)));
  auto longer = std::make_unique<LoggerList>(current ? *current : LoggerList{});
  longer->push_back(r.loggers.back().get());
  r.currentLoggers.store(longer.get(), std::memory_order_release);
  r.loggerLists.push_back(std::move(longer));
  return *r.loggers.back();
}

void Logger::debug(const char* fmt, ...) const {
  if (!enables(LogLevel::debug)) return;
  va_list args;
  va_start(args, fmt);
  emit(category_, LogLevel::debug, fmt, args);
  va_end(args);
}

void Logger::info(const char* fmt, ...) const {
  if (!enables(LogLevel::info)) return;
  va_list args;
  va_start(args, fmt);
  emit(category_, LogLevel::info, fmt, args);
  va_end(args);
}

void Logger::error(const char* fmt, ...) const {
  if (!enables(LogLevel::error)) return;
  va_list args;
  va_start(args, fmt);
  emit(category_, LogLevel::error, fmt, args);
  va_end(args);
}

}  // namespace brindlet::runtime
