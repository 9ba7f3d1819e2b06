#pragma once

#include <cstdint>
#include <memory>

#include "streaming/VideoSink.h"

namespace brindlet::transport {
class FrameConnection;
}

namespace brindlet::streaming {

// Sends each encoded frame as one video frame on the phone's link, its payload moved, never
// copied, and counts the bytes in flight and the bytes sent. A send that fails still counts as
// completed: the link reports its own failure, and pacing must not stall on a dead link.
class LinkVideoSink final : public VideoSink {
 public:
  explicit LinkVideoSink(std::shared_ptr<transport::FrameConnection> connection);
  ~LinkVideoSink() override;

  std::int64_t outstanding() const override;
  bool send(EncodedFrame frame) override;
  void setDrained(Drained drained) override;

  // The completion of a send of `size` bytes, from the link's executor (or from within send()
  // when the link refuses the frame at once).
  void sendCompleted(std::int64_t size);
  // The bytes sent since the last call; the statistics read it once a second.
  std::int64_t takeSent();

 private:
  // Counts and callback live apart from the sink: a send completing after the sink is gone
  // still finds them.
  struct Shared;

  std::shared_ptr<transport::FrameConnection> connection_;
  std::shared_ptr<Shared> shared_;
};

}  // namespace brindlet::streaming
