#pragma once

#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <utility>
#include <vector>

#include "runtime/CallGate.h"
#include "runtime/Subscription.h"

namespace brindlet::runtime {

// A value that tells its subscribers when it changes. Setting an equal value notifies nobody.
// Subscribers are called on the setting thread, outside any lock, in subscription order. Once a
// subscription has ended its callback is never called again: ending it from another thread waits
// for a call in progress to return (ending it from inside its own callback does not wait).
template <class T>
class Observable {
 public:
  using Callback = std::function<void(const T&)>;

 private:
  struct Entry {
    explicit Entry(Callback c) : callback(std::move(c)) {}
    CallGate gate;
    Callback callback;
  };
  struct Shared {
    explicit Shared(T initial) : value(std::move(initial)) {}
    std::mutex mutex;
    T value;
    std::uint64_t lastId = 0;
    std::map<std::uint64_t, std::shared_ptr<Entry>> entries;
  };

 public:
  explicit Observable(T initial = T{}) : shared_(std::make_shared<Shared>(std::move(initial))) {}

  T get() const {
    std::lock_guard lock(shared_->mutex);
    return shared_->value;
  }

  // Stores the value; returns whether it changed (and subscribers were told).
  bool set(T value) {
    std::vector<std::shared_ptr<Entry>> entries;
    {
      std::lock_guard lock(shared_->mutex);
      if (shared_->value == value) return false;
      shared_->value = value;
      for (auto& [id, entry] : shared_->entries) entries.push_back(entry);
    }
    for (auto& entry : entries) {
      if (auto pass = entry->gate.enter()) entry->callback(value);
    }
    return true;
  }

  [[nodiscard]] Subscription subscribe(Callback callback) {
    auto entry = std::make_shared<Entry>(std::move(callback));
    std::lock_guard lock(shared_->mutex);
    auto id = ++shared_->lastId;
    shared_->entries.emplace(id, entry);
    return Subscription([weak = std::weak_ptr<Shared>(shared_), id, entry] {
      if (auto shared = weak.lock()) {
        std::lock_guard lock(shared->mutex);
        shared->entries.erase(id);
      }
      entry->gate.close();
    });
  }

 private:
  std::shared_ptr<Shared> shared_;
};

}  // namespace brindlet::runtime
