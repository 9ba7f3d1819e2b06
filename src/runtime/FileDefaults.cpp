#include "runtime/FileDefaults.h"

#include <fcntl.h>
#include <stdio.h>

#include <cerrno>
#include <chrono>
#include <cmath>
#include <ctime>
#include <mutex>

#include <boost/asio/steady_timer.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <limits>
#include <map>
#include <vector>

#include "runtime/Blocking.h"
#include "runtime/Files.h"
#include "runtime/FolderWatch.h"
#include "runtime/Json.h"
#include "runtime/Log.h"
#include "runtime/MainLoop.h"
#include "runtime/Task.h"

namespace brindlet::runtime {
namespace {

namespace asio = boost::asio;
namespace fs = std::filesystem;

const Logger& defaultsLog() {
  return Logger::of("defaults");
}

// Far more than settings take; only what is not a defaults file at all is larger.
constexpr std::size_t kFileLimit = std::size_t(16) << 20;

// What the file holds: its object, or empty with why it could not be read, in words (nothing
// when it is missing).
struct Stored {
  nlohmann::json values = nlohmann::json::object();
  std::string unreadable;
};

std::string whyUnreadable(const FileError& e) {
  switch (e.kind()) {
    case FileError::Case::notRegular:
      return e.error() == EISDIR ? "it is a folder, not a file" : "it is not a regular file";
    case FileError::Case::tooLarge:
      return "it is larger than " + std::to_string(kFileLimit >> 20) + " MiB";
    case FileError::Case::cannotOpen:
      return "it can't be opened: " + e.reason();
    case FileError::Case::cannotRead:
      break;
  }
  return "it can't be read: " + e.reason();
}

// Throws the field's failure for the first number that became an infinity: such a value could
// never be written back, so no change could be saved over it.
void refuseInfinities(const JsonValueReader& value) {
  const auto& json = value.json();
  if (json.is_number_float() && !std::isfinite(json.get<double>())) value.asDouble();
  if (json.is_object()) {
    const auto object = value.asObject();
    for (const auto key : object.keys()) refuseInfinities(object.requiredAllowingNull(key));
  } else if (json.is_array()) {
    const auto array = value.asArray();
    for (std::size_t i = 0; i < array.size(); ++i) refuseInfinities(array.element(i));
  }
}

Stored readStored(const fs::path& file) {
  mayBlock("reading the defaults file");
  std::string bytes;
  try {
    bytes = readFile(file, kFileLimit);
  } catch (const FileError& e) {
    if (e.error() == ENOENT) return {};
    return {nlohmann::json::object(), whyUnreadable(e)};
  }
  Stored stored;
  try {
    const JsonDocument document(bytes);
    refuseInfinities(document.reader());
    stored.values = document.value();
  } catch (const JsonReadError& e) {
    return {nlohmann::json::object(), "it is not JSON this app can keep (" + e.text() + ")"};
  }
  if (!stored.values.is_object()) return {nlohmann::json::object(), "it holds no JSON object"};
  return stored;
}

nlohmann::json readValues(const fs::path& file) {
  return readStored(file).values;
}

// "<file>.unreadable-20261207T201500Z", with "-2", "-3"... when that name is taken.
fs::path keptName(const fs::path& file, int attempt) {
  const auto now = std::chrono::system_clock::to_time_t(std::chrono::system_clock::now());
  std::tm utc{};
  ::gmtime_r(&now, &utc);
  char stamp[32];
  std::strftime(stamp, sizeof stamp, "%Y%m%dT%H%M%SZ", &utc);
  auto name = file.filename().string() + ".unreadable-" + stamp;
  if (attempt > 1) name += "-" + std::to_string(attempt);
  return file.parent_path() / name;
}

// Moves a file that could not be read out of the way of the next write, so that the user's
// settings in it are not lost; an earlier kept copy is never replaced.
void keepAside(const fs::path& file, const std::string& why) {
  for (int attempt = 1; attempt < 100; ++attempt) {
    const auto kept = keptName(file, attempt);
    if (::renameat2(AT_FDCWD, file.c_str(), AT_FDCWD, kept.c_str(), RENAME_NOREPLACE) == 0) {
      defaultsLog().error("Kept unreadable %s as %s: %s", file.c_str(), kept.c_str(), why.c_str());
      return;
    }
    if (errno != EEXIST) break;
  }
  const int error = errno;
  throw fs::filesystem_error("Can't keep the unreadable file aside", file,
                             std::error_code(error, std::generic_category()));
}

// Keys set (a value) or removed (nothing), in key order.
using Changes = std::map<std::string, std::optional<nlohmann::json>, std::less<>>;

void applyChanges(const Changes& changes, nlohmann::json& values) {
  for (const auto& [key, value] : changes) {
    if (value) {
      values[key] = *value;
    } else {
      values.erase(key);
    }
  }
}

// The file as the writers share it: the worker's writes and the last one, made on the loop's
// thread when it stops or the store goes. Each write carries its turn; one that comes after a
// later turn was written is dropped, its changes having been part of that later write, and
// answers as that write went.
struct Disk {
  fs::path file;
  std::mutex mutex;
  std::uint64_t written = 0;
  SaveFailure lastFailure;

  SaveFailure write(std::uint64_t turn, const Changes& changes) {
    std::string failure;
    SaveFailure reason;
    {
      std::lock_guard lock(mutex);
      if (turn <= written) return lastFailure;
      // Starts from what is stored now, so that another process's recent change is not undone.
      auto stored = readStored(file);
      auto& values = stored.values;
      applyChanges(changes, values);
      try {
        makeFolder(file.parent_path());
        if (!stored.unreadable.empty()) keepAside(file, stored.unreadable);
        writeFileAtomically(file, writeJson(values));
      } catch (const fs::filesystem_error& e) {
        failure = e.what();
        reason = e.code().message();
      } catch (const std::exception& e) {
        failure = e.what();
        reason = failure;
      }
      written = turn;
      lastFailure = reason;
    }
    if (!failure.empty())
      defaultsLog().error("Couldn't save %s: %s", file.c_str(), failure.c_str());
    return reason;
  }
};

}  // namespace

struct FileDefaults::State {
  explicit State(boost::asio::io_context& loop) : timer(loop) {}

  std::shared_ptr<Disk> disk = std::make_shared<Disk>();
  nlohmann::json values = nlohmann::json::object();
  DefaultsObservers observers;
  Changes pending;  // not yet handed to the worker
  Changes writing;  // handed to the worker, or failed there, and not yet written
  std::uint64_t turns = 0;
  bool armed = false;
  boost::asio::steady_timer timer;

  // Hands everything unwritten to the worker, a failed write's changes too; the loop learns
  // when and how it was written.
  static asio::awaitable<SaveFailure> write(std::weak_ptr<State> weak) {
    auto self = weak.lock();
    if (!self) co_return std::nullopt;
    for (auto& [key, value] : self->pending) self->writing.insert_or_assign(key, std::move(value));
    self->pending.clear();
    if (self->writing.empty()) co_return std::nullopt;
    auto changes = self->writing;
    const auto turn = ++self->turns;
    auto disk = self->disk;
    self.reset();
    auto work = [disk, turn, changes] { return disk->write(turn, changes); };
    auto failure = co_await offloadBlocking(std::move(work));
    if (auto state = weak.lock(); state && !failure) state->written(changes);
    co_return failure;
  }

  static asio::awaitable<void> writePending(std::weak_ptr<State> weak) {
    co_await write(std::move(weak));
  }

  void written(const Changes& changes) {
    for (const auto& [key, value] : changes) {
      auto found = writing.find(key);
      if (found != writing.end() && found->second == value) writing.erase(found);
    }
  }

  // Gathers the changes of the next writeDelay into one write.
  void arm() {
    if (armed) return;
    armed = true;
    timer.expires_after(writeDelay);
    timer.async_wait([weak = std::weak_ptr<State>(shared())](boost::system::error_code error) {
      auto self = weak.lock();
      if (!self) return;
      self->armed = false;
      // A save may have taken them meanwhile.
      if (error || self->pending.empty()) return;
      spawn(self->timer.get_executor(), writePending(weak));
    });
  }

  // Everything not yet written, written on the calling thread.
  void flushHere() {
    timer.cancel();
    Changes changes = writing;
    for (auto& [key, value] : pending) changes.insert_or_assign(key, value);
    if (changes.empty()) return;
    pending.clear();
    writing.clear();
    // At the loop's stop or the store's end there is no loop left to wait on.
    AllowBlocking exit;
    disk->write(++turns, changes);
  }

  // What another process wrote, with this store's unwritten changes on top, read on the worker.
  static asio::awaitable<void> reload(std::weak_ptr<State> weak, fs::path file) {
    auto read = [file] { return readValues(file); };
    auto values = co_await offloadBlocking(std::move(read));
    if (auto self = weak.lock()) self->replace(std::move(values));
  }

  void replace(nlohmann::json values) {
    applyChanges(writing, values);
    applyChanges(pending, values);
    std::vector<std::string> changed;
    for (auto& [key, value] : this->values.items()) {
      auto found = values.find(key);
      if (found == values.end() || *found != value) changed.push_back(key);
    }
    for (auto& [key, value] : values.items()) {
      if (!this->values.contains(key)) changed.push_back(key);
    }
    this->values = std::move(values);
    for (auto& key : changed) observers.tell(key);
  }

  std::shared_ptr<State> shared() { return self.lock(); }
  std::weak_ptr<State> self;
};

FileDefaults::FileDefaults(boost::asio::io_context& loop, fs::path file)
    : state_(std::make_shared<State>(loop)) {
  state_->self = state_;
  state_->disk->file = std::move(file);
  const auto& path = state_->disk->file;
  const auto folder = path.parent_path();
  try {
    makeFolder(folder);
  } catch (const fs::filesystem_error& e) {
    defaultsLog().error("Can't make %s: %s", folder.c_str(), e.what());
  }
  std::weak_ptr<State> weak = state_;
  watch_ = FolderWatch::open(
      loop, folder,
      [weak, path, executor = loop.get_executor()] { spawn(executor, State::reload(weak, path)); },
      true);
  if (!watch_) defaultsLog().error("Can't watch %s", folder.c_str());
  auto stored = readStored(path);
  if (!stored.unreadable.empty()) {
    defaultsLog().error(
        "Can't read %s: %s; settings start empty, and the file is kept aside at "
        "the next change",
        path.c_str(), stored.unreadable.c_str());
  }
  state_->values = std::move(stored.values);
  stopHook_ = whenLoopStops(loop, [weak] {
    if (auto state = weak.lock()) state->flushHere();
  });
}

FileDefaults::~FileDefaults() {
  flush();
}

void FileDefaults::flush() {
  state_->flushHere();
}

fs::path FileDefaults::defaultFile() {
  return userFolder(UserFolder::config) / "brindlet" / "defaults.json";
}

const nlohmann::json* FileDefaults::find(std::string_view key) const {
  auto& values = state_->values;
  auto found = values.find(key);
  return found == values.end() ? nullptr : &*found;
}
std::optional<bool> FileDefaults::boolean(std::string_view key) const {
  auto* value = find(key);
  if (value == nullptr || !value->is_boolean()) return std::nullopt;
  return value->get<bool>();
}

std::optional<std::int64_t> FileDefaults::integer(std::string_view key) const {
  auto* value = find(key);
  if (value == nullptr || !value->is_number_integer()) return std::nullopt;
  if (value->is_number_unsigned() &&
      value->get<std::uint64_t>() > std::uint64_t(std::numeric_limits<std::int64_t>::max())) {
    return std::nullopt;
  }
  return value->get<std::int64_t>();
}

std::optional<std::string> FileDefaults::text(std::string_view key) const {
  auto* value = find(key);
  if (value == nullptr || !value->is_string()) return std::nullopt;
  return value->get<std::string>();
}

void FileDefaults::setBoolean(std::string_view key, bool value) {
  change(key, value);
}
void FileDefaults::setInteger(std::string_view key, std::int64_t value) {
  change(key, value);
}
void FileDefaults::setText(std::string_view key, std::string value) {
  change(key, std::move(value));
}
void FileDefaults::remove(std::string_view key) {
  change(key, std::nullopt);
}

asio::awaitable<SaveFailure> FileDefaults::save() {
  std::weak_ptr<State> weak = state_;
  auto failure = co_await State::write(std::move(weak));
  co_return failure;
}

Subscription FileDefaults::observe(std::string key, std::function<void()> changed) {
  return state_->observers.add(std::move(key), std::move(changed));
}

void FileDefaults::change(std::string_view key, std::optional<nlohmann::json> value) {
  auto& values = state_->values;
  auto found = values.find(key);
  if (value ? found != values.end() && *found == *value : found == values.end()) return;
  if (value) {
    values[std::string(key)] = *value;
  } else {
    values.erase(found);
  }
  state_->pending.insert_or_assign(std::string(key), std::move(value));
  state_->arm();
  state_->observers.tell(key);
}

}  // namespace brindlet::runtime
