#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <utility>

#include "runtime/Observable.h"

namespace brindlet::runtime {

// Hands the newest value of an Observable to another thread: changes made while a delivery is
// on its way coalesce into one, carrying the latest value. The current value is delivered first.
// `post` runs a function on the target thread (an executor's post, a UI toolkit's queued call).
// After end() (or destruction) returns, `deliver` is never called again; end() from another
// thread waits for a delivery in progress.
template <class T>
class SnapshotBridge {
 public:
  using Post = std::function<void(std::function<void()>)>;
  using Deliver = std::function<void(const T&)>;

  SnapshotBridge(Observable<T>& source, Post post, Deliver deliver)
      : state_(std::make_shared<State>(std::move(post), std::move(deliver))) {
    subscription_ =
        source.subscribe([state = state_](const T& value) { state->offer(value, true); });
    state_->offer(source.get(), false);
  }
  ~SnapshotBridge() { end(); }
  SnapshotBridge(const SnapshotBridge&) = delete;
  SnapshotBridge& operator=(const SnapshotBridge&) = delete;

  void end() {
    subscription_.reset();
    state_->end();
  }

 private:
  struct State : std::enable_shared_from_this<State> {
    State(Post p, Deliver d) : post(std::move(p)), deliver(std::move(d)) {}

    // `changed`: a change seen by the subscription. The first value is offered only when no
    // change came before it, which would be newer.
    void offer(const T& value, bool changed) {
      {
        std::lock_guard lock(mutex);
        if (!changed && sawChange) return;
        sawChange = sawChange || changed;
        pending = value;
        if (scheduled) return;
        scheduled = true;
      }
      post([self = this->shared_from_this()] { self->flush(); });
    }

    void flush() {
      std::lock_guard delivering(deliveringMutex);
      std::optional<T> value;
      {
        std::lock_guard lock(mutex);
        value.swap(pending);
        scheduled = false;
      }
      if (!ended && value) deliver(*value);
    }

    void end() {
      std::lock_guard delivering(deliveringMutex);
      ended = true;
    }

    Post post;
    Deliver deliver;
    std::mutex mutex;
    std::optional<T> pending;
    bool scheduled = false;
    bool sawChange = false;
    std::recursive_mutex deliveringMutex;
    bool ended = false;  // guarded by deliveringMutex
  };

  std::shared_ptr<State> state_;
  typename Observable<T>::Subscription subscription_;
};

}  // namespace brindlet::runtime
