#pragma once

#include <chrono>
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
// whole and atomically (mode 0600). A change is seen by readers and told to observers at once;
// the file is written on the blocking worker, the changes of 100 ms together, and whatever is
// still unwritten is written when the loop stops and when the store goes. A write that fails is
// logged, and its changes are written again with the next. Another process's changes are read
// when the folder reports them, and their keys' observers told. A file that
// cannot be read as a JSON object, or holds a number too large for a double (which could never be
// written back), reads as empty, is logged when the store opens it, and stays as it is until the
// next change, which first moves it aside ("defaults.json.unreadable-<UTC time>", never over an
// earlier one) and logs where; values of kinds this store does not write are kept. Lives on the
// loop and is touched only from it.
class FileDefaults final : public Defaults {
 public:
  // How long changes gather before they are written together.
  static constexpr std::chrono::milliseconds writeDelay{100};

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
  // Hands every unwritten change to the worker at once, a failed write's too.
  boost::asio::awaitable<SaveFailure> save() override;

  // Writes every change not yet written, now, on the calling thread.
  void flush();

 private:
  struct State;
  const nlohmann::json* find(std::string_view key) const;
  void change(std::string_view key, std::optional<nlohmann::json> value);

  std::shared_ptr<State> state_;
  std::unique_ptr<FolderWatch> watch_;
  std::shared_ptr<void> stopHook_;
};

}  // namespace brindlet::runtime
