#include "runtime/MemoryDefaults.h"

namespace brindlet::runtime {

std::optional<bool> MemoryDefaults::boolean(std::string_view key) const {
  return storedAs<bool>(values_, key);
}
std::optional<std::int64_t> MemoryDefaults::integer(std::string_view key) const {
  return storedAs<std::int64_t>(values_, key);
}
std::optional<std::string> MemoryDefaults::text(std::string_view key) const {
  return storedAs<std::string>(values_, key);
}
void MemoryDefaults::setBoolean(std::string_view key, bool value) {
  store(key, value);
}
void MemoryDefaults::setInteger(std::string_view key, std::int64_t value) {
  store(key, value);
}
void MemoryDefaults::setText(std::string_view key, std::string value) {
  store(key, std::move(value));
}

void MemoryDefaults::remove(std::string_view key) {
  auto found = values_.find(key);
  if (found == values_.end()) return;
  values_.erase(found);
  observers_.tell(key);
}

Subscription MemoryDefaults::observe(std::string key, std::function<void()> changed) {
  return observers_.add(std::move(key), std::move(changed));
}

boost::asio::awaitable<SaveFailure> MemoryDefaults::save() {
  co_return saveFailure;
}

void MemoryDefaults::store(std::string_view key, DefaultsValue value) {
  auto found = values_.find(key);
  if (found != values_.end()) {
    if (found->second == value) return;
    found->second = std::move(value);
  } else {
    values_.emplace(std::string(key), std::move(value));
  }
  observers_.tell(key);
}

}  // namespace brindlet::runtime
