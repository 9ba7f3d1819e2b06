#pragma once

#include <atomic>
#include <mutex>
#include <utility>
#include <vector>

#include "streaming/VideoSink.h"

namespace brindlet::streaming {

// A sink for tests: it keeps what it is sent, counts each frame's bytes as outstanding until the
// test drains it, and lets the test set the outstanding count as the link would leave it.
class FakeVideoSink final : public VideoSink {
 public:
  std::int64_t outstanding() const override { return outstanding_; }
  void send(EncodedFrame frame) override {
    outstanding_ += std::int64_t(frame.data.size());
    std::lock_guard lock(mutex_);
    frames_.push_back(std::move(frame));
  }
  void setDrained(Drained drained) override {
    std::lock_guard lock(mutex_);
    drained_ = std::move(drained);
  }

  void setOutstanding(std::int64_t bytes) { outstanding_ = bytes; }
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
  std::vector<EncodedFrame> frames() const {
    std::lock_guard lock(mutex_);
    return frames_;
  }

 private:
  std::atomic<std::int64_t> outstanding_{0};
  mutable std::mutex mutex_;
  std::vector<EncodedFrame> frames_;
  Drained drained_;
};

}  // namespace brindlet::streaming
