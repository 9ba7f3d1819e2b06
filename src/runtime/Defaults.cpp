#include "runtime/Defaults.h"

#include <vector>

namespace brindlet::runtime {

struct DefaultsObservers::Shared {
  struct Observer {
    std::string key;
    std::function<void()> changed;
    bool subscribed = true;
  };
  std::uint64_t lastId = 0;
  std::map<std::uint64_t, std::shared_ptr<Observer>> observers;
};

DefaultsObservers::DefaultsObservers() : shared_(std::make_shared<Shared>()) {}
DefaultsObservers::~DefaultsObservers() = default;

Subscription DefaultsObservers::add(std::string key, std::function<void()> changed) {
  auto id = ++shared_->lastId;
  auto observer = std::make_shared<Shared::Observer>(
      Shared::Observer{std::move(key), std::move(changed), true});
  shared_->observers.emplace(id, observer);
  return Subscription([weak = std::weak_ptr(shared_), observer, id] {
    observer->subscribed = false;
    if (auto shared = weak.lock()) shared->observers.erase(id);
  });
}

void DefaultsObservers::tell(std::string_view key) const {
  std::vector<std::shared_ptr<Shared::Observer>> due;
  for (auto& [id, observer] : shared_->observers) {
    if (observer->key == key) due.push_back(observer);
  }
  for (auto& observer : due) {
    if (observer->subscribed) observer->changed();
  }
}

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
