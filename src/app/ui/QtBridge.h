#pragma once

// The bridge between the Qt thread and the main loop. The Qt thread never touches a model: model
// states reach it as copies through the runtime's bridges (SnapshotBridge for what a view shows,
// OrderedBridge where every step matters), posted with a QtThreadPoster; what the user does goes
// back as closures posted onto the main loop.

#include <functional>
#include <memory>

#include "runtime/SnapshotBridge.h"

namespace brindlet::runtime {
class MainLoop;
}

namespace brindlet::app::ui {

using Post = std::function<void(std::function<void()>)>;

// Runs functions on the Qt thread as queued calls, in the order they were posted. Made on the Qt
// thread. Once it is destroyed nothing posted through it runs, whether it was queued before or
// is posted after; its post functions stay safe to call from any thread.
class QtThreadPoster {
 public:
  QtThreadPoster();
  ~QtThreadPoster();
  QtThreadPoster(const QtThreadPoster&) = delete;
  QtThreadPoster& operator=(const QtThreadPoster&) = delete;

  Post post() const;

 private:
  struct Target;
  std::shared_ptr<Target> target_;
};

// Posts closures onto the main loop, where the models live.
Post loopPost(runtime::MainLoop& loop);

namespace detail {

// A runtime bridge whose deliveries run on the Qt thread.
template <class State, class Bridge>
class OnQtThread {
 public:
  using Deliver = typename Bridge::Deliver;
  OnQtThread(runtime::Observable<State>& source, Deliver deliver)
      : bridge_(source, poster_.post(), std::move(deliver)) {}
  void end() { bridge_.end(); }

 private:
  QtThreadPoster poster_;  // outlives the bridge
  Bridge bridge_;
};

}  // namespace detail

// A model state shown by the Qt thread: the newest value, coalesced.
template <class State>
using QtSnapshot = detail::OnQtThread<State, runtime::SnapshotBridge<State>>;

// A model state whose every change the Qt thread sees, one by one, in order.
template <class State>
using QtSteps = detail::OnQtThread<State, runtime::OrderedBridge<State>>;

}  // namespace brindlet::app::ui
