#pragma once

#include <functional>
#include <utility>

namespace brindlet::runtime {

// Keeps a subscription (to an observable value, a defaults key, ...) alive: it ends when the
// object is destroyed, reset or assigned another; moving hands it on. Ending calls the step the
// source gave, once; sources make that step safe to run after they are gone.
class Subscription {
 public:
  Subscription() = default;
  explicit Subscription(std::function<void()> end) : end_(std::move(end)) {}
  Subscription(Subscription&& other) noexcept : end_(std::exchange(other.end_, {})) {}
  Subscription& operator=(Subscription&& other) noexcept {
    if (this != &other) {
      reset();
      end_ = std::exchange(other.end_, {});
    }
    return *this;
  }
  ~Subscription() { reset(); }

  void reset() {
    if (auto end = std::exchange(end_, {})) end();
  }

 private:
  std::function<void()> end_;
};

}  // namespace brindlet::runtime
