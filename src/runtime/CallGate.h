#pragma once

#include <algorithm>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

namespace brindlet::runtime {

// Lets calls of a callback through until it is closed. Once close() has returned no call is in
// progress and none starts again, so whatever the callback refers to may go. close() waits for
// calls running on other threads; a call on the closing thread itself (closing from inside the
// callback) is not waited for. No lock is held while the callback runs.
class CallGate {
 public:
  class Pass {
   public:
    explicit Pass(CallGate* gate) : gate_(gate) {}
    Pass(const Pass&) = delete;
    Pass& operator=(const Pass&) = delete;
    ~Pass() {
      if (gate_) gate_->leave();
    }
    explicit operator bool() const { return gate_ != nullptr; }

   private:
    CallGate* gate_;
  };

  // A pass that is true while the gate is open; hold it for the length of the call.
  [[nodiscard]] Pass enter() {
    std::lock_guard lock(mutex_);
    if (closed_) return Pass(nullptr);
    inside_.push_back(std::this_thread::get_id());
    return Pass(this);
  }

  void close() {
    std::unique_lock lock(mutex_);
    closed_ = true;
    const auto self = std::this_thread::get_id();
    left_.wait(lock, [&] {
      return std::all_of(inside_.begin(), inside_.end(), [&](auto id) { return id == self; });
    });
  }

 private:
  void leave() {
    {
      std::lock_guard lock(mutex_);
      inside_.erase(std::find(inside_.begin(), inside_.end(), std::this_thread::get_id()));
    }
    left_.notify_all();
  }

  std::mutex mutex_;
  std::condition_variable left_;
  bool closed_ = false;
  std::vector<std::thread::id> inside_;
};

}  // namespace brindlet::runtime
