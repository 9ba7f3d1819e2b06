#include "streaming/LinkVideoSink.h"

#include <exception>
#include <mutex>
#include <optional>
#include <utility>

#include "protocol/Frame.h"
#include "transport/FrameConnection.h"

namespace brindlet::streaming {

// Two locks, never held together nor while calling out: the counts, and the callback.
struct LinkVideoSink::Shared {
  mutable std::mutex countsMutex;
  std::int64_t outstanding = 0;
  std::int64_t sent = 0;
  std::mutex drainedMutex;
  // Shared rather than copied: a completion takes it without allocating.
  std::shared_ptr<const Drained> drained;

  void completed(std::int64_t size) {
    bool empty;
    {
      std::lock_guard lock(countsMutex);
      outstanding -= size;
      sent += size;
      empty = outstanding == 0;
    }
    if (!empty) return;
    std::shared_ptr<const Drained> callback;
    {
      std::lock_guard lock(drainedMutex);
      callback = drained;
    }
    if (callback && *callback) (*callback)();
  }
};

LinkVideoSink::LinkVideoSink(std::shared_ptr<transport::FrameConnection> connection)
    : connection_(std::move(connection)), shared_(std::make_shared<Shared>()) {}

LinkVideoSink::~LinkVideoSink() = default;

std::int64_t LinkVideoSink::outstanding() const {
  std::lock_guard lock(shared_->countsMutex);
  return shared_->outstanding;
}

namespace {
// The sink whose send is under way on this thread: a completion that runs inside the send is the
// link refusing the frame at once.
thread_local const void* sendingOn = nullptr;
thread_local bool refusedNow = false;
}  // namespace

bool LinkVideoSink::send(EncodedFrame frame) {
  const auto size = std::int64_t(frame.data.size());
  {
    std::lock_guard lock(shared_->countsMutex);
    shared_->outstanding += size;
  }
  const auto flags = frame.isKeyframe ? protocol::FrameFlags::keyframe : protocol::FrameFlags{};
  protocol::PooledFrame out{protocol::Channel::video, flags, std::move(frame.data)};
  // The completion may send again before it returns (the drained callback): each send keeps
  // its own mark.
  const void* outer = std::exchange(sendingOn, shared_.get());
  const bool outerRefused = std::exchange(refusedNow, false);
  // The completion's error is not looked at beyond that: a failed send counts as completed.
  connection_->asyncSend(std::move(out), [shared = shared_, size](std::exception_ptr error) {
    if (error && sendingOn == shared.get()) refusedNow = true;
    shared->completed(size);
  });
  sendingOn = outer;
  return !std::exchange(refusedNow, outerRefused);
}

void LinkVideoSink::setDrained(Drained drained) {
  auto callback = std::make_shared<const Drained>(std::move(drained));
  std::shared_ptr<const Drained> old;
  {
    std::lock_guard lock(shared_->drainedMutex);
    old = std::exchange(shared_->drained, std::move(callback));
  }
  // The old callback is destroyed here, outside the lock: it may hold the last reference to
  // whatever registered it.
}

void LinkVideoSink::sendCompleted(std::int64_t size) {
  shared_->completed(size);
}

std::int64_t LinkVideoSink::takeSent() {
  std::lock_guard lock(shared_->countsMutex);
  return std::exchange(shared_->sent, 0);
}

}  // namespace brindlet::streaming
