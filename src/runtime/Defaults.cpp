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

}  // namespace brindlet::runtime
