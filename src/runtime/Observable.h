#pragma once

#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <utility>

namespace brindlet::runtime {

// A value that tells its subscribers when it changes. Setting an equal value notifies nobody.
// Subscribers are called on the setting thread, outside the lock, in subscription order.
template <class T>
class Observable {
  struct Shared;

 public:
  using Callback = std::function<void(const T&)>;

  // Ends the subscription when destroyed or reset.
  class Subscription {
   public:
    Subscription() = default;
    Subscription(std::weak_ptr<typename Observable::Shared> shared, std::uint64_t id)
        : shared_(std::move(shared)), id_(id) {}
    Subscription(Subscription&&) noexcept = default;
    Subscription& operator=(Subscription&& other) noexcept {
      reset();
      shared_ = std::move(other.shared_);
      id_ = other.id_;
      return *this;
    }
    ~Subscription() { reset(); }
    void reset() {
      if (auto shared = shared_.lock()) {
        std::lock_guard lock(shared->mutex);
        shared->callbacks.erase(id_);
      }
      shared_.reset();
    }

   private:
    std::weak_ptr<typename Observable::Shared> shared_;
    std::uint64_t id_ = 0;
  };

  explicit Observable(T initial = T{}) : shared_(std::make_shared<Shared>(std::move(initial))) {}

  T get() const {
    std::lock_guard lock(shared_->mutex);
    return shared_->value;
  }

  // Stores the value; returns whether it changed (and subscribers were told).
  bool set(T value) {
    std::vector<std::shared_ptr<Callback>> callbacks;
    {
      std::lock_guard lock(shared_->mutex);
      if (shared_->value == value) return false;
      shared_->value = value;
      for (auto& [id, callback] : shared_->callbacks) callbacks.push_back(callback);
    }
    for (auto& callback : callbacks) (*callback)(value);
    return true;
  }

  [[nodiscard]] Subscription subscribe(Callback callback) {
    std::lock_guard lock(shared_->mutex);
    auto id = ++shared_->lastId;
    shared_->callbacks.emplace(id, std::make_shared<Callback>(std::move(callback)));
    return Subscription(shared_, id);
  }

 private:
  struct Shared {
    explicit Shared(T initial) : value(std::move(initial)) {}
    std::mutex mutex;
    T value;
    std::uint64_t lastId = 0;
    std::map<std::uint64_t, std::shared_ptr<Callback>> callbacks;
  };
  std::shared_ptr<Shared> shared_;
};

}  // namespace brindlet::runtime
