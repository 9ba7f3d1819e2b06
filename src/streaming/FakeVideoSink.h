#pragma once

#include <atomic>
#include <mutex>
#include <optional>
#include <utility>
#include <vector>

#include "streaming/VideoSink.h"

namespace brindlet::streaming {

// A sink for tests: it keeps what it is sent, counts each frame's bytes as outstanding until the
// test drains it, and lets the test set the outstanding count as the link would leave it.
class FakeVideoSink final : public VideoSink {
 public:
  // What a frame was, kept apart from its buffer, which goes back to its pool.
  struct Sent {
    runtime::Bytes data;
    bool isKeyframe = false;
    double time = 0;
    bool oneOff = false;  // its bytes had a buffer of their own
  };

  std::int64_t outstanding() const override { return outstanding_; }
  bool send(EncodedFrame frame) override {
    const auto bytes = frame.data.view();
    std::lock_guard lock(mutex_);
    frames_.push_back(
        {{bytes.begin(), bytes.end()}, frame.isKeyframe, frame.time, frame.data.isOneOff()});
    if (refuseLarger_ && frame.data.size() > *refuseLarger_) return false;
    outstanding_ += std::int64_t(frame.data.size());
    return true;
  }
  void setDrained(Drained drained) override {
    std::lock_guard lock(mutex_);
    drained_ = std::move(drained);
  }

  void setOutstanding(std::int64_t bytes) { outstanding_ = bytes; }
  // Frames of more bytes are refused at once, as a link refuses an oversized frame.
  void refuseLarger(std::size_t bytes) {
    std::lock_guard lock(mutex_);
    refuseLarger_ = bytes;
  }
  // Every send completed: the count falls to 0 and the drained callback runs.
  void drain() {
    outstanding_ = 0;
    Drained callback;
    {
      std::lock_guard lock(mutex_);
      callback = drained_;
    }
    if (callback) callback();
  }
  std::vector<Sent> frames() const {
    std::lock_guard lock(mutex_);
    return frames_;
  }

 private:
  std::atomic<std::int64_t> outstanding_{0};
  mutable std::mutex mutex_;
  std::vector<Sent> frames_;
  std::optional<std::size_t> refuseLarger_;
  Drained drained_;
};

}  // namespace brindlet::streaming
