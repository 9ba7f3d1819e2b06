#include <utility>

#include "session/HostSession.h"
#include "session/PaneDisplay.h"
#include "streaming/DisplayError.h"
#include "streaming/LinkVideoSink.h"
#include "streaming/VideoPipeline.h"
#include "transport/FrameConnection.h"

namespace brindlet::session {

namespace asio = boost::asio;
using streaming::VirtualDisplayConfig;

void HostSession::setQuality(streaming::VideoQuality quality) {
  quality_.set(quality);
  roles_.streamer->setQuality(quality);
}

void HostSession::failed(const char* area, const char* logFormat, const std::string& text) {
  lastError.set(std::string(area) + ": " + text);
  log_.error(logFormat, text.c_str());
}

std::optional<DisplayRect> HostSession::displayBounds(std::uint32_t id) const {
  auto monitor = roles_.monitors->monitorOf(id);
  if (!monitor) return std::nullopt;
  return DisplayRect{*monitor, displayScale()};
}

asio::awaitable<void> HostSession::takePane(protocol::Pane pane) {
  linkBroughtPane_ = true;
  waitingPane_ = std::move(pane);
  co_await applyWaitingPanes();
}

asio::awaitable<void> HostSession::applyWaitingPanes() {
  if (applyingPanes_ || panesHeld_) co_return;
  applyingPanes_ = true;
  struct Done {
    bool& applying;
    ~Done() { applying = false; }
  } done{applyingPanes_};
  while (waitingPane_ && !panesHeld_) {
    auto pane = *std::exchange(waitingPane_, std::nullopt);
    co_await applyPane(std::move(pane));
  }
}

asio::awaitable<void> HostSession::applyPane(protocol::Pane pane) {
  const auto current = client.get();
  if (!current) co_return;
  mode.set(pane.mode);
  lastPane_ = StoredPane{clientID(current->hello), pane};
  if (!showsDisplay(pane.mode)) {
    co_await releaseDisplay(true);
    co_return;
  }
  std::optional<VirtualDisplayConfig> config;
  try {
    config = displayConfig(current->hello, pane);
  } catch (const streaming::DisplayError& e) {
    // Nothing is attached for a pane whose sizes no display can have.
    failed("Display", "Attach failed: %s", e.text());
    co_return;
  }
  co_await attachDisplay(std::move(*config));
}

asio::awaitable<void> HostSession::attachDisplay(VirtualDisplayConfig config) {
  if (!link_ || !sink_) co_return;
  // The link and sink of this moment are the ones the display is for.
  const auto link = *link_;
  const auto sink = sink_;
  if (config_ == config && hasStream.get()) co_return;
  co_await stopStream();
  std::uint32_t id = 0;
  try {
    auto attaching = roles_.display->attach(config);
    id = co_await std::move(attaching);
  } catch (const streaming::DisplayError& e) {
    failed("Display", "Attach failed: %s", e.text());
    co_return;
  }
  config_ = config;
  displayID.set(id);
  // Input and the follower place things by the display's monitor: known before the phone
  // learns of the display.
  co_await roles_.monitors->refresh();
  if (!isCurrent(link)) {
    co_await settleOrphanedDisplay(clientID(link.hello));
    co_return;
  }
  protocol::ControlMessage ready(displayReady(config, id, codec_));
  try {
    co_await link.connection->send(std::move(ready));
  } catch (...) {
    // The link's own failure ends the session through the transport.
    co_return;
  }
  streamRestarted_ = false;
  co_await startStream(std::move(config), link, sink, id);
}

asio::awaitable<void> HostSession::displayReplaced(std::weak_ptr<HostSession> weak,
                                                   std::uint32_t old,
                                                   std::optional<std::uint32_t> replacement) {
  auto self = weak.lock();
  if (!self || !self->config_ || self->displayID.get() != old) co_return;
  if (!replacement) {
    // Nothing came back: the phone is told, as when its pane gives up the display.
    self->log_.error("Display %u is gone and was not made again", old);
    co_await self->releaseDisplay(true);
    co_return;
  }
  // The old display's capture has nothing left to show.
  co_await self->stopStream();
  self->displayID.set(*replacement);
  co_await self->roles_.monitors->refresh();
  // Without a link the display waits for its phone, whose pane starts the stream again.
  if (!self->link_ || !self->sink_ || !self->config_ || self->displayID.get() != replacement)
    co_return;
  const auto link = *self->link_;
  const auto sink = self->sink_;
  const auto config = *self->config_;
  protocol::ControlMessage ready(displayReady(config, *replacement, self->codec_));
  try {
    co_await link.connection->send(std::move(ready));
  } catch (...) {
    co_return;
  }
  self->streamRestarted_ = false;
  co_await self->startStream(config, link, sink, *replacement);
}

asio::awaitable<void> HostSession::streamStopped(std::weak_ptr<HostSession> weak,
                                                 streaming::StreamError error) {
  auto self = weak.lock();
  // A stream the session stopped itself, or one still starting, is none of this.
  if (!self || !self->hasStream.get()) co_return;
  self->hasStream.set(false);
  self->failed("Stream", "Stream stopped: %s", error.text());
  // Once: a capture that keeps ending would otherwise be restarted for ever.
  if (std::exchange(self->streamRestarted_, true)) co_return;
  const auto id = self->displayID.get();
  if (!self->link_ || !self->sink_ || !self->config_ || !id) co_return;
  const auto link = *self->link_;
  const auto sink = self->sink_;
  const auto config = *self->config_;
  co_await self->startStream(config, link, sink, *id);
}

asio::awaitable<void> HostSession::settleOrphanedDisplay(const std::string& forClient) {
  if (link_) {
    // A newer link took over while the display came up: the same phone has re-applied its pane,
    // another phone does not get this one's display.
    if (clientID(link_->hello) != forClient) co_await releaseDisplay(false);
    co_return;
  }
  if (lastEndKept_) {
    startGrace();
  } else {
    co_await releaseDisplay(false);
  }
}

asio::awaitable<void> HostSession::startStream(VirtualDisplayConfig config,
                                               transport::ClientLink link,
                                               std::shared_ptr<streaming::LinkVideoSink> sink,
                                               std::uint32_t id) {
  auto settings = encoderSettings(config, codec_, quality_.get());
  const auto turn = ++streamTurn_;
  lastStartTurn_ = turn;
  try {
    auto starting = roles_.streamer->start(std::move(settings), std::move(sink), id);
    co_await std::move(starting);
  } catch (const streaming::StreamError& e) {
    // A start that the session's own stop or a later start overtook failed because of it: that
    // is no fault to show the user.
    if (turn == streamTurn_) failed("Stream", "Stream failed: %s", e.text());
    co_return;
  }
  if (lastStartTurn_ != turn) co_return;  // a later start owns the streamer now
  if (turn != streamTurn_ || !isCurrent(link)) {
    // Stopped, or its link ended, while it started: it would send to nobody.
    co_await stopStream();
    co_return;
  }
  hasStream.set(true);
  // The statistics count this stream's frames from here.
  auto pipeline = roles_.streamer->pipeline();
  lastEncoded_ = pipeline ? pipeline->stats().encoded : 0;
}

asio::awaitable<void> HostSession::stopStream() {
  ++streamTurn_;
  // Cleared whenever the stream stops, so that the same pane brings the video back.
  hasStream.set(false);
  co_await roles_.streamer->stop();
}

asio::awaitable<void> HostSession::releaseDisplay(bool tellPhone) {
  roles_.input->release();
  co_await stopStream();
  if (!config_) co_return;
  co_await roles_.display->detach();
  config_.reset();
  displayID.set(std::nullopt);
  if (tellPhone && link_) {
    protocol::ControlMessage gone(protocol::DisplayGone{});
    auto connection = link_->connection;
    try {
      co_await connection->send(std::move(gone));
    } catch (...) {
      // The phone learns of it from the link's end.
    }
  }
}

}  // namespace brindlet::session
