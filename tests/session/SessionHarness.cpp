#include "session/SessionHarness.h"

#include <stdexcept>

namespace brindlet::session::testing {

namespace {

asio::awaitable<void> pumpPhone(std::shared_ptr<Phone> phone, Trace* trace) {
  for (;;) {
    std::optional<protocol::Frame> frame;
    try {
      frame = co_await phone->end->receive();
    } catch (...) {
    }
    if (!frame) break;
    if (frame->channel == protocol::Channel::video) {
      ++phone->videoFrames;
      phone->videoBytes += std::int64_t(frame->payload.size());
      continue;
    }
    auto message = protocol::ControlEnvelope::of(*frame).message;
    if (const auto* stats = message.as<protocol::Stats>()) {
      phone->stats.push_back(*stats);
      continue;
    }
    trace->push_back(phone->setup.tag + ": " + summary(message));
  }
  phone->ended = true;
  trace->push_back(phone->setup.tag + ": end");
}

}  // namespace

std::string summary(const ControlMessage& message) {
  std::string text(message.type());
  if (const auto* ready = message.as<protocol::DisplayReady>()) {
    text += " " + number(ready->w) + "x" + number(ready->h) + "@" + std::to_string(ready->scale) +
            " " + std::string(protocol::wordOf(ready->codec)) + " #" +
            std::to_string(ready->displayID) + " " + std::to_string(ready->fps) + "fps";
  } else if (const auto* pong = message.as<protocol::Pong>()) {
    text += " " + number(pong->ts);
  } else if (const auto* bye = message.as<protocol::Bye>()) {
    text += " " + bye->reason;
  } else if (const auto* state = message.as<protocol::DeckState>()) {
    for (const auto& [key, look] : state->states) text += " " + key;
  } else if (const auto* board = message.as<protocol::AgentBoard>()) {
    for (const auto& card : board->agents) text += " " + card.id;
  }
  return text;
}

SessionHarness::SessionHarness(std::shared_ptr<transport::PairingStore> pairingStore)
    : pairing(pairingStore ? std::move(pairingStore)
                           : std::make_shared<transport::MemoryPairingStore>()),
      streamer(std::make_shared<RecordingStreamer>(io.get_executor())) {
  displays->trace = &calls;
  streamer->trace = &calls;
  for (std::uint32_t id = 1; id <= 16; ++id) monitors->monitors[id] = kBounds;
  HostSession::Roles roles{transport, pairing,  displays, streamer, input,
                           poster,    follower, monitors, clock};
  session = HostSession::make(io.get_executor(), std::move(roles));
  session->requestAccessibility = [this, ask = session->requestAccessibility] {
    ++accessibilityRequests;
    ask();
  };
  brindlet::testing::runUntilDone(io, session->start());
  settle();
}

SessionHarness::~SessionHarness() {
  session.reset();
  for (auto& phone : links) {
    phone->phoneStream->cancel();
    phone->hostStream->cancel();
  }
  transport->queue->finish();
  settle();
}

std::shared_ptr<Phone> SessionHarness::link(PhoneSetup setup,
                                            const std::vector<ControlMessage>& first) {
  auto phone = std::make_shared<Phone>();
  phone->setup = std::move(setup);
  std::tie(phone->hostStream, phone->phoneStream) =
      runtime::MemoryByteStream::pair(io.get_executor());
  brindlet::testing::runUntilDone(io, brindlet::testing::startReady(*phone->hostStream));
  brindlet::testing::runUntilDone(io, brindlet::testing::startReady(*phone->phoneStream));
  transport::LinkOptions options;
  options.clock = clock;
  phone->host = transport::FrameConnection::make(phone->hostStream, {}, options);
  phone->end = transport::FrameConnection::make(phone->phoneStream, {}, options);
  phone->host->helloDone();
  phone->end->helloDone();
  runtime::spawn(io.get_executor(), pumpPhone(phone, &phones));
  links.push_back(phone);
  for (const auto& message : first) phone->end->sendControl(message);
  settle();
  transport->queue->push(transport::HostTransportEvent::connected(phone->link()));
  settle();
  return phone;
}

Phone& SessionHarness::phone(const std::string& name) {
  const std::string tag = name.substr(0, 1);
  std::vector<Phone*> ofTag;
  for (auto& p : links)
    if (p->setup.tag == tag) ofTag.push_back(p.get());
  if (ofTag.empty()) throw std::logic_error("no phone " + name);
  if (name.size() == 1) return *ofTag.back();
  return *ofTag.at(std::stoul(name.substr(1)) - 1);
}

void SessionHarness::send(Phone& phone, ControlMessage message) {
  phone.end->sendControl(std::move(message));
  settle();
}

void SessionHarness::drop(Phone& phone, const std::string& reason) {
  phone.phoneStream->cancel();
  settle();
  transport->queue->push(transport::HostTransportEvent::disconnected(phone.setup.route, reason));
  settle();
}

void SessionHarness::play(const std::string& steps) {
  std::istringstream in(steps);
  for (std::string step; std::getline(in, step, ';');) {
    std::istringstream words(step);
    std::string verb, who;
    words >> verb >> who;
    if (verb == "link") {
      link(who == "A" ? alpha() : bravo());
    } else if (verb == "pass") {
      pass(std::chrono::duration_cast<runtime::Duration>(
          std::chrono::duration<double>(std::stod(who))));
    } else if (verb == "drop") {
      drop(phone(who));
    } else if (verb == "pane") {
      protocol::Pane pane;
      std::string mode;
      words >> pane.w >> pane.h >> pane.scale >> mode;
      pane.mode = *protocol::parse<protocol::Mode>(mode);
      send(phone(who), pane);
    } else if (verb == "ping") {
      double ts = 0;
      words >> ts;
      send(phone(who), protocol::Ping{ts});
    } else if (verb == "bye") {
      std::string reason;
      words >> reason;
      send(phone(who), protocol::Bye{reason});
    } else if (verb == "touch") {
      std::string phase;
      words >> phase;
      protocol::Touch touch;
      touch.phase = *protocol::parse<protocol::TouchPhase>(phase);
      send(phone(who), touch);
    } else if (verb == "key") {
      std::string direction;
      words >> direction;
      send(phone(who), protocol::Key{4, direction == "down", {}});
    } else if (verb == "scroll") {
      send(phone(who), protocol::Scroll{0, 10, protocol::ScrollPhase::changed, false});
    } else if (verb == "text") {
      std::string text;
      words >> text;
      send(phone(who), protocol::TypedText{text});
    } else if (verb == "break") {
      phone(who).hostStream->failReads("broken pipe");
      settle();
    } else if (verb == "needKeyframe") {
      send(phone(who), protocol::NeedKeyframe{});
    } else if (verb == "hello") {
      send(phone(who), phone(who).setup.hello);
    } else {
      throw std::logic_error("unknown step " + step);
    }
  }
}

Trace SessionHarness::logLines() {
  Trace lines;
  for (const auto& entry : log.sink().entries()) {
    if (entry.category != "session" && entry.category != "input") continue;
    lines.push_back(std::string(runtime::wordOf(entry.level)) + " " + entry.category + ": " +
                    entry.message);
  }
  return lines;
}

}  // namespace brindlet::session::testing
