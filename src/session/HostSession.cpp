#include "session/HostSession.h"

#include <algorithm>

#include "protocol/ProtocolError.h"
#include "session/PaneDisplay.h"
#include "streaming/LinkVideoSink.h"
#include "transport/FrameConnection.h"
#include "transport/TransportError.h"

namespace brindlet::session {

namespace asio = boost::asio;
using transport::ClientLink;
using transport::HostTransportEvent;

std::shared_ptr<HostSession> HostSession::make(asio::any_io_executor loop, Roles roles) {
  std::shared_ptr<HostSession> session(new HostSession(std::move(loop), std::move(roles)));
  std::weak_ptr<HostSession> weak = session;
  session->roles_.display->onReplaced(
      [weak](std::uint32_t old, std::optional<std::uint32_t> replacement) {
        if (auto self = weak.lock())
          runtime::spawn(self->loop_, displayReplaced(weak, old, replacement));
      });
  session->roles_.streamer->onStopped([weak](const streaming::StreamError& error) {
    if (auto self = weak.lock()) runtime::spawn(self->loop_, streamStopped(weak, error));
  });
  // The menu shows the quality the stream runs at, not one its encoder could not take.
  session->roles_.streamer->onQualityRefused([weak](streaming::VideoQuality kept) {
    if (auto self = weak.lock()) self->quality_.set(kept);
  });
  return session;
}

HostSession::HostSession(asio::any_io_executor loop, Roles roles)
    : loop_(std::move(loop)), roles_(std::move(roles)) {
  if (!roles_.clock) roles_.clock = runtime::Clock::system();
  // X has no permission prompt: input is allowed whenever the display offers XTest.
  requestAccessibility = [&log = log_] {
    log.info("Input needs the display's XTest extension; there is no permission to ask for");
  };
}

HostSession::~HostSession() {
  for (auto* task : {&eventTask_, &statsTask_, &graceTask_, &deckTask_})
    if (*task) task->cancel();
}

bool HostSession::isCurrent(const ClientLink& link) const {
  return link_ && link_->connection == link.connection;
}

asio::awaitable<void> HostSession::start() {
  if (eventTask_) co_return;
  auto events = roles_.transport->events();
  eventTask_ = runtime::spawn(loop_, runEvents(weak_from_this(), std::move(events)));
  co_await roles_.transport->start();
}

asio::awaitable<void> HostSession::runEvents(
    std::weak_ptr<HostSession> weak, std::shared_ptr<transport::HostTransportEvents> events) {
  for (;;) {
    auto event = co_await events->next();
    if (!event) co_return;
    if (auto self = weak.lock()) co_await self->handleEvent(std::move(*event));
  }
}

asio::awaitable<void> HostSession::handleEvent(HostTransportEvent event) {
  switch (event.kind) {
    case HostTransportEvent::Kind::connected:
      co_await connected(std::move(*event.link));
      break;
    case HostTransportEvent::Kind::disconnected:
      if (link_ && event.route && link_->route == *event.route) {
        co_await linkEnded(std::move(event.reason));
      }
      break;
    case HostTransportEvent::Kind::nearby:
      onNearby(event.phones);
      break;
  }
}

asio::awaitable<void> HostSession::connected(ClientLink link) {
  if (!link_ || link_->route == link.route) {
    // A link from the current route replaces the current one.
    co_await begin(std::move(link));
    co_return;
  }
  log_.info("Refusing %s: busy", link.hello.name.c_str());
  std::optional<std::string> reason(protocol::ByeReason::busy);
  co_await link.connection->close(std::move(reason));
}

asio::awaitable<void> HostSession::begin(ClientLink link) {
  // A replaced link is dropped without being closed; its later messages are ignored.
  link_ = link;
  client.set(Client{link.hello, link.route});
  lastError.set(std::nullopt);
  sink_ = std::make_shared<streaming::LinkVideoSink>(link.connection);
  const auto& caps = link.hello.caps;
  const bool decodesHEVC =
      std::find(caps.begin(), caps.end(), protocol::Capability::hevc) != caps.end();
  codec_ = preferHEVC.get() && decodesHEVC ? protocol::Codec::hevc : protocol::Codec::h264;
  if (graceTask_) {
    // A display kept after an earlier drop stays.
    graceTask_.cancel();
    graceTask_ = {};
  }
  const auto route = link.route.description();
  log_.info("Session with %s over %s", link.hello.name.c_str(), route.c_str());
  startStats();
  // The deck's first messages go out before anything a pane brings: a pane the phone sends
  // meanwhile waits.
  panesHeld_ = true;
  linkBroughtPane_ = false;
  waitingPane_.reset();
  runtime::spawn(loop_, readLoop(weak_from_this(), link.connection));
  wireDeck();
  co_await deckTask_.ended();
  panesHeld_ = false;
  if (hasStream.get()) {
    // A stream still running here sends on the replaced link's sink: the pane below starts it
    // again on this link's.
    co_await stopStream();
  }
  if (lastPane_ && lastPane_->clientID == clientID(link.hello)) {
    // The phone's own pane, read while the deck's messages went out, is newer than the one kept.
    if (!linkBroughtPane_) waitingPane_ = lastPane_->pane;
  } else if (config_) {
    co_await releaseDisplay(false);
  }
  co_await applyWaitingPanes();
}

asio::awaitable<void> HostSession::readLoop(
    std::weak_ptr<HostSession> weak, std::shared_ptr<transport::FrameConnection> connection) {
  const auto& log = runtime::Logger::of("session");
  for (;;) {
    std::optional<protocol::Frame> frame;
    try {
      frame = co_await connection->receive();
    } catch (...) {
      const auto text = runtime::describe(std::current_exception());
      log.debug("Read loop ended: %s", text.c_str());
      co_return;
    }
    if (!frame) co_return;
    if (frame->channel != protocol::Channel::control) continue;
    std::optional<protocol::ControlEnvelope> envelope;
    try {
      envelope.emplace(protocol::ControlEnvelope::of(*frame));
    } catch (const protocol::ProtocolError& e) {
      log.error("Bad control message: %s", e.text().c_str());
    }
    if (!envelope) {
      std::optional<std::string> reason(protocol::ByeReason::protocolViolation);
      co_await connection->close(std::move(reason));
      co_return;
    }
    auto self = weak.lock();
    if (!self) co_return;
    co_await self->handle(std::move(envelope->message), connection);
  }
}

asio::awaitable<void> HostSession::linkEnded(std::string reason) {
  // The read loop may still be busy with a pane while the phone's last messages, its bye among
  // them, wait unread behind it: they are handled first, in order, and the link ends as they say.
  const auto connection = link_->connection;
  auto reading = unreadMessages(connection);
  auto unread = co_await std::move(reading);
  for (auto& message : unread) {
    co_await handle(std::move(message), connection);
    if (!link_ || link_->connection != connection) co_return;
  }
  log_.info("Client dropped: %s", reason.c_str());
  co_await endSession(true);
}

asio::awaitable<std::vector<protocol::ControlMessage>> HostSession::unreadMessages(
    std::shared_ptr<transport::FrameConnection> connection) {
  std::vector<protocol::ControlMessage> messages;
  // Only an ended link's frames are all there: taking them never waits, and leaves the read
  // loop nothing but the end.
  if (!connection->isClosed()) co_return messages;
  for (;;) {
    std::optional<protocol::Frame> frame;
    try {
      frame = co_await connection->receive();
    } catch (...) {
      break;
    }
    if (!frame) break;
    if (frame->channel != protocol::Channel::control) continue;
    try {
      messages.push_back(protocol::ControlEnvelope::of(*frame).message);
    } catch (const protocol::ProtocolError&) {
      // The link is over: nothing is left to refuse.
    }
  }
  co_return messages;
}

asio::awaitable<void> HostSession::endSession(bool keepDisplay) {
  // The link leaves the session before the first wait: an end reported while this one runs
  // finds no session to end twice, and a new link that begins meanwhile is not undone.
  auto ending = std::exchange(link_, std::nullopt);
  sink_.reset();
  client.set(std::nullopt);
  clientStats.set(std::nullopt);
  lastEndKept_ = keepDisplay;
  if (statsTask_) {
    statsTask_.cancel();
    statsTask_ = {};
  }
  wireDeck();
  roles_.input->release();
  co_await stopStream();
  if (ending) {
    std::optional<std::string> noBye;
    co_await ending->connection->close(std::move(noBye));
  }
  if (link_) co_return;  // a new link took over meanwhile and settled the display
  if (keepDisplay && config_) {
    startGrace();
    co_return;
  }
  co_await releaseDisplay(false);
}

void HostSession::startGrace() {
  if (graceTask_) graceTask_.cancel();
  graceTask_ = runtime::spawn(loop_, grace(weak_from_this(), roles_.clock, reconnectGrace));
}

asio::awaitable<void> HostSession::grace(std::weak_ptr<HostSession> weak,
                                         std::shared_ptr<runtime::Clock> clock,
                                         runtime::Duration after) {
  try {
    co_await clock->sleep(after);
  } catch (...) {
    // Cancelled: a phone came back.
    co_return;
  }
  auto self = weak.lock();
  if (!self) co_return;
  co_await self->releaseDisplay(false);
  self->lastPane_.reset();
}

}  // namespace brindlet::session
