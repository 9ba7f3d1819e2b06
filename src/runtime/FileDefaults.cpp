#include "runtime/FileDefaults.h"

#include <fstream>
#include <iterator>
#include <limits>
#include <vector>

#include "runtime/Files.h"
#include "runtime/FolderWatch.h"
#include "runtime/Json.h"
#include "runtime/Log.h"

namespace brindlet::runtime {
namespace {

namespace fs = std::filesystem;

const Logger& defaultsLog() {
  static const Logger logger("defaults");
  return logger;
}

// The file's object; anything else (missing, unreadable, not JSON, not an object) is empty.
nlohmann::json readValues(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  if (!in) return nlohmann::json::object();
  std::string bytes(std::istreambuf_iterator<char>(in), {});
  nlohmann::json values;
  try {
    parseJson(bytes, values);
  } catch (const JsonReadError& e) {
    defaultsLog().error("Ignoring %s: %s", file.c_str(), e.what());
    return nlohmann::json::object();
  }
  if (!values.is_object()) return nlohmann::json::object();
  return values;
}

}  // namespace

FileDefaults::FileDefaults(boost::asio::io_context& loop, fs::path file) : file_(std::move(file)) {
  const auto folder = file_.parent_path();
  try {
    makeFolder(folder);
  } catch (const fs::filesystem_error& e) {
    defaultsLog().error("Can't make %s: %s", folder.c_str(), e.what());
  }
  watch_ = FolderWatch::open(
      loop, folder, [this] { reload(); }, true);
  if (!watch_) defaultsLog().error("Can't watch %s", folder.c_str());
  values_ = readValues(file_);
}

FileDefaults::~FileDefaults() = default;

fs::path FileDefaults::defaultFile() {
  return userFolder(UserFolder::config) / "brindlet" / "defaults.json";
}

const nlohmann::json* FileDefaults::find(std::string_view key) const {
  auto found = values_.find(key);
  return found == values_.end() ? nullptr : &*found;
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

Defaults::Subscription FileDefaults::observe(std::string key, std::function<void()> changed) {
  return observers_.add(std::move(key), std::move(changed));
}

void FileDefaults::reload() {
  auto values = readValues(file_);
  std::vector<std::string> changed;
  for (auto& [key, value] : values_.items()) {
    auto found = values.find(key);
    if (found == values.end() || *found != value) changed.push_back(key);
  }
  for (auto& [key, value] : values.items()) {
    if (!values_.contains(key)) changed.push_back(key);
  }
  values_ = std::move(values);
  for (auto& key : changed) observers_.tell(key);
}

void FileDefaults::change(std::string_view key, std::optional<nlohmann::json> value) {
  // Starts from what is stored now, so that another process's recent change is not undone.
  reload();
  auto found = values_.find(key);
  if (value ? found != values_.end() && *found == *value : found == values_.end()) return;
  if (value) {
    values_[std::string(key)] = std::move(*value);
  } else {
    values_.erase(found);
  }
  try {
    makeFolder(file_.parent_path());
    writeFileAtomically(file_, writeJson(values_));
  } catch (const std::exception& e) {
    defaultsLog().error("Couldn't save %s: %s", file_.c_str(), e.what());
  }
  observers_.tell(key);
}

}  // namespace brindlet::runtime
