#include "streaming/LinkVideoSink.h"

#include <atomic>
#include <exception>
#include <mutex>
#include <optional>
#include <utility>

#include "protocol/Frame.h"
#include "transport/FrameConnection.h"

namespace brindlet::streaming {

// The counts change with every send and every completion, often on two threads at once: they
// take no lock. The callback has one, held only to copy it, never while calling out.
struct LinkVideoSink::Shared {
  std::atomic<std::int64_t> outstanding{0};
  std::atomic<std::int64_t> sent{0};
  std::mutex drainedMutex;
  // Shared rather than copied: a completion takes it without allocating.
  std::shared_ptr<const Drained> drained;

  void completed(std::int64_t size) {
    sent.fetch_add(size, std::memory_order_relaxed);
    if (outstanding.fetch_sub(size, std::memory_order_acq_rel) != size) return;
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
  return shared_->outstanding.load(std::memory_order_acquire);
}

namespace {
// The sink whose send is under way on this thread: a completion that runs inside the send is the
// link refusing the frame at once.
thread_local const void* sendingOn = nullptr;
thread_local bool refusedNow = false;
}  // namespace

bool LinkVideoSink::send(EncodedFrame frame) {
  const auto size = std::int64_t(frame.data.size());
  shared_->outstanding.fetch_add(size, std::memory_order_acq_rel);
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
  return shared_->sent.exchange(0, std::memory_order_relaxed);
}

}  // namespace brindlet::streaming
