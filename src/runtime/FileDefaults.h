#pragma once

#include <filesystem>
#include <memory>

#include <nlohmann/json.hpp>

#include "runtime/Defaults.h"

namespace boost::asio {
class io_context;
}

namespace brindlet::runtime {

class FolderWatch;

// The user's settings as one JSON object in a file of their own folder (mode 0700), rewritten
// whole and atomically (mode 0600) on every change. Another process's changes are read when the
// folder reports them, and their keys' observers told. A file that is not a JSON object reads as
// empty and stays as it is until the next change; values of kinds this store does not write are
// kept. Lives on the loop and is touched only from it.
class FileDefaults final : public Defaults {
 public:
  explicit FileDefaults(boost::asio::io_context& loop, std::filesystem::path file = defaultFile());
  ~FileDefaults() override;

  // $XDG_CONFIG_HOME/brindlet/defaults.json
  static std::filesystem::path defaultFile();

  std::optional<bool> boolean(std::string_view key) const override;
  std::optional<std::int64_t> integer(std::string_view key) const override;
  std::optional<std::string> text(std::string_view key) const override;
  void setBoolean(std::string_view key, bool value) override;
  void setInteger(std::string_view key, std::int64_t value) override;
  void setText(std::string_view key, std::string value) override;
  void remove(std::string_view key) override;
  Subscription observe(std::string key, std::function<void()> changed) override;

 private:
  const nlohmann::json* find(std::string_view key) const;
  void reload();
  void change(std::string_view key, std::optional<nlohmann::json> value);

  std::filesystem::path file_;
  nlohmann::json values_ = nlohmann::json::object();
  DefaultsObservers observers_;
  std::unique_ptr<FolderWatch> watch_;
};

}  // namespace brindlet::runtime
