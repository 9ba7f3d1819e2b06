#pragma once

#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <utility>

#include "runtime/CallGate.h"
#include "runtime/Observable.h"

namespace brindlet::runtime {

namespace detail {

// What a bridge holds between a change and its delivery: the newest value only, or every value
// in the order they came.
template <class T>
struct NewestValue {
  std::optional<T> value;
  void add(const T& v) { value = v; }
  template <class Deliver>
  static void each(NewestValue taken, const Deliver& deliver) {
    if (taken.value) deliver(*taken.value);
  }
};

template <class T>
struct EveryValue {
  std::deque<T> values;
  void add(const T& v) { values.push_back(v); }
  template <class Deliver>
  static void each(EveryValue taken, const Deliver& deliver) {
    for (const T& v : taken.values) deliver(v);
  }
};

// Hands an Observable's values to another thread through `post` (an executor's post, a UI
// toolkit's queued call). The current value is delivered first. After end() (or destruction)
// returns, `deliver` is never called again; end() from another thread waits for a delivery in
// progress.
template <class T, class Pending>
class Bridge {
 public:
  using Post = std::function<void(std::function<void()>)>;
  using Deliver = std::function<void(const T&)>;

  Bridge(Observable<T>& source, Post post, Deliver deliver)
      : state_(std::make_shared<State>(std::move(post), std::move(deliver))) {
    subscription_ =
        source.subscribe([state = state_](const T& value) { state->offer(value, true); });
    state_->offer(source.get(), false);
  }
  ~Bridge() { end(); }
  Bridge(const Bridge&) = delete;
  Bridge& operator=(const Bridge&) = delete;

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
        pending.add(value);
        if (scheduled) return;
        scheduled = true;
      }
      post([self = this->shared_from_this()] { self->flush(); });
    }

    void flush() {
      Pending taken;
      {
        std::lock_guard lock(mutex);
        std::swap(taken, pending);
        scheduled = false;
      }
      // The gate is entered per value, so that an end() from inside a delivery stops the rest.
      Pending::each(std::move(taken), [this](const T& value) {
        if (auto pass = gate.enter()) deliver(value);
      });
    }

    void end() { gate.close(); }

    Post post;
    Deliver deliver;
    std::mutex mutex;
    Pending pending;
    bool scheduled = false;
    bool sawChange = false;
    CallGate gate;
  };

  std::shared_ptr<State> state_;
  Subscription subscription_;
};

}  // namespace detail

// Hands the newest value of an Observable to another thread: changes made while a delivery is
// on its way coalesce into one, carrying the latest value. For states where only the latest
// matters (what a view shows).
template <class T>
using SnapshotBridge = detail::Bridge<T, detail::NewestValue<T>>;

// Hands every value of an Observable to another thread, one by one, in the order they were set.
// For states whose steps matter to the receiver (a reaction to each change from the one before).
// Make it on the thread that sets the value: made elsewhere, a change that races the making can
// arrive twice in a row.
template <class T>
using OrderedBridge = detail::Bridge<T, detail::EveryValue<T>>;

}  // namespace brindlet::runtime
