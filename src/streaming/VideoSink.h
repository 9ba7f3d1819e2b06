#pragma once

#include <cstdint>
#include <functional>

#include "streaming/VideoTypes.h"

namespace brindlet::streaming {

// Where encoded frames leave the video path. The pipeline paces itself by `outstanding`: the
// bytes handed over whose sending has not completed yet.
class VideoSink {
 public:
  // Runs, on whichever thread completed the send, each time `outstanding` falls to 0.
  using Drained = std::function<void()>;

  virtual ~VideoSink() = default;

  virtual std::int64_t outstanding() const = 0;
  // Hands the frame over and returns without waiting for the network. False when the link
  // refused it at once (too large, or its queue full): it was not sent, and its bytes already
  // count as completed.
  virtual bool send(EncodedFrame frame) = 0;
  // Replaces the callback registered before.
  virtual void setDrained(Drained drained) = 0;
};

}  // namespace brindlet::streaming
