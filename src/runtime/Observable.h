#pragma once

#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <utility>
#include <vector>

namespace brindlet::runtime {

// A value that tells its subscribers when it changes. Setting an equal value notifies nobody.
// Subscribers are called on the setting thread, outside the value's lock, in subscription order.
// Once a subscription has ended its callback is never called again: ending it from another thread
// waits for a call in progress to return (ending it from inside its own callback does not wait).
template <class T>
class Observable {
 public:
  using Callback = std::function<void(const T&)>;

 private:
  // One subscriber. `calling` is held while its callback runs, so that ending waits for it.
  struct Entry {
    explicit Entry(Callback c) : callback(std::move(c)) {}
    std::recursive_mutex calling;
    bool ended = false;
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
  // Ends the subscription when destroyed or reset.
  class Subscription {
   public:
    Subscription() = default;
    Subscription(std::weak_ptr<Shared> shared, std::uint64_t id, std::shared_ptr<Entry> entry)
        : shared_(std::move(shared)), id_(id), entry_(std::move(entry)) {}
    Subscription(Subscription&&) noexcept = default;
    Subscription& operator=(Subscription&& other) noexcept {
      if (this == &other) return *this;
      reset();
      shared_ = std::move(other.shared_);
      id_ = other.id_;
      entry_ = std::move(other.entry_);
      return *this;
    }
    ~Subscription() { reset(); }

    void reset() {
      if (auto shared = shared_.lock()) {
        std::lock_guard lock(shared->mutex);
        shared->entries.erase(id_);
      }
      shared_.reset();
      if (auto entry = std::move(entry_)) {
        std::lock_guard lock(entry->calling);
        entry->ended = true;
      }
    }

   private:
    std::weak_ptr<Shared> shared_;
    std::uint64_t id_ = 0;
    std::shared_ptr<Entry> entry_;
  };

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
      std::lock_guard lock(entry->calling);
      if (!entry->ended) entry->callback(value);
    }
    return true;
  }

  [[nodiscard]] Subscription subscribe(Callback callback) {
    auto entry = std::make_shared<Entry>(std::move(callback));
    std::lock_guard lock(shared_->mutex);
    auto id = ++shared_->lastId;
    shared_->entries.emplace(id, entry);
    return Subscription(shared_, id, std::move(entry));
  }

 private:
  std::shared_ptr<Shared> shared_;
};

}  // namespace brindlet::runtime
