#include "session/HostSession.h"
#include "streaming/LinkVideoSink.h"
#include "streaming/VideoPipeline.h"
#include "transport/FrameConnection.h"

namespace brindlet::session {

namespace asio = boost::asio;

void HostSession::startStats() {
  if (statsTask_) statsTask_.cancel();
  statsTask_ = runtime::spawn(loop_, statsLoop(weak_from_this(), roles_.clock));
}

asio::awaitable<void> HostSession::statsLoop(std::weak_ptr<HostSession> weak,
                                             std::shared_ptr<runtime::Clock> clock) {
  for (;;) {
    // A cancelled loop ends here: its wait throws, and so would every later wait of the task.
    co_await clock->sleepUntil(clock->now() + statsInterval);
    if (auto self = weak.lock()) co_await self->sendStats();
  }
}

asio::awaitable<void> HostSession::sendStats() {
  if (!link_ || !sink_) co_return;
  std::int64_t encoded = 0;
  std::int64_t dropped = 0;
  if (auto pipeline = roles_.streamer->pipeline()) {
    const auto counts = pipeline->stats();
    encoded = counts.encoded;
    dropped = counts.dropped;
  }
  const auto delta = encoded - lastEncoded_;
  lastEncoded_ = encoded;
  const auto sent = sink_->takeSent();
  protocol::Stats stats;
  const auto phone = clientStats.get();
  stats.rttMs = phone ? phone->rttMs : 0;
  // The counter starts again with each new pipeline.
  stats.fps = delta >= 0 ? double(delta) : 0;
  stats.droppedFrames = dropped;
  stats.bitrateKbps = sent * 8 / 1000;
  auto connection = link_->connection;
  protocol::ControlMessage message(stats);
  try {
    co_await connection->send(std::move(message));
  } catch (...) {
    // The next tick tries again.
  }
}

}  // namespace brindlet::session
