#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "runtime/Defaults.h"

namespace brindlet::runtime {

// Settings kept in memory: the test double.
class MemoryDefaults final : public Defaults {
 public:
  explicit MemoryDefaults(DefaultsValues values = {}) : values_(std::move(values)) {}

  std::optional<bool> boolean(std::string_view key) const override;
  std::optional<std::int64_t> integer(std::string_view key) const override;
  std::optional<std::string> text(std::string_view key) const override;
  void setBoolean(std::string_view key, bool value) override;
  void setInteger(std::string_view key, std::int64_t value) override;
  void setText(std::string_view key, std::string value) override;
  void remove(std::string_view key) override;
  Subscription observe(std::string key, std::function<void()> changed) override;
  // Answers `saveFailure`.
  boost::asio::awaitable<SaveFailure> save() override;

  // What every save answers until the test changes it.
  SaveFailure saveFailure;

  const DefaultsValues& values() const { return values_; }

 private:
  void store(std::string_view key, DefaultsValue value);

  DefaultsValues values_;
  DefaultsObservers observers_;
};

}  // namespace brindlet::runtime
