#include "ScriptedPhone.h"

#include <sstream>

#include <boost/asio/this_coro.hpp>

#include "protocol/ControlEnvelope.h"
#include "protocol/DisplayMessages.h"
#include "runtime/Task.h"
#include "transport/FrameConnection.h"

namespace brindlet::tools {

namespace asio = boost::asio;
using protocol::ControlMessage;

namespace {

std::string reasonIn(std::istringstream& words, std::string_view fallback) {
  std::string reason;
  words >> reason;
  return reason.empty() ? std::string(fallback) : reason;
}

ControlMessage paneOf(std::istringstream& words) {
  protocol::Pane pane;
  if (!(words >> pane.w >> pane.h >> pane.scale))
    throw std::invalid_argument("pane <w> <h> <scale>");
  return pane;
}

ControlMessage touchOf(std::istringstream& words) {
  std::string phase;
  protocol::Touch touch;
  if (!(words >> phase >> touch.x >> touch.y)) throw std::invalid_argument("touch <phase> <x> <y>");
  auto parsed = protocol::parse<protocol::TouchPhase>(phase);
  if (!parsed) throw std::invalid_argument("unknown touch phase " + phase);
  touch.phase = *parsed;
  return touch;
}

ControlMessage messageOf(const std::string& verb, std::istringstream& words) {
  if (verb == "pane") return paneOf(words);
  if (verb == "touch") return touchOf(words);
  std::string json;
  std::getline(words >> std::ws, json);
  return protocol::ControlEnvelope::decode(json).message;
}

}  // namespace

ScriptedPhone::ScriptedPhone(std::shared_ptr<transport::ClientTransport> transport, Print print,
                             std::string videoFile, bool terse)
    : transport_(std::move(transport)), print_(std::move(print)) {
  tally_->terse = terse;
  if (videoFile.empty()) return;
  video_ = std::make_shared<std::ofstream>(videoFile, std::ios::binary | std::ios::trunc);
  if (!*video_) throw std::runtime_error("cannot write " + videoFile);
}

asio::awaitable<void> ScriptedPhone::watchEvents() {
  auto events = transport_->events();
  while (auto event = co_await events->next()) {
    print_(transport::textOf(*event));
    if (auto* connected = std::get_if<transport::ClientTransportEvents::Connected>(&*event)) {
      live_ = connected->link.connection;
      runtime::spawn(co_await asio::this_coro::executor,
                     readHost(live_, transport_, print_, video_, tally_));
    } else if (std::holds_alternative<transport::ClientTransportEvents::Disconnected>(*event)) {
      live_.reset();
    }
  }
}

asio::awaitable<void> ScriptedPhone::readHost(std::shared_ptr<transport::FrameConnection> link,
                                              std::shared_ptr<transport::ClientTransport> transport,
                                              Print print, std::shared_ptr<std::ofstream> video,
                                              std::shared_ptr<Tally> tally) {
  try {
    while (auto frame = co_await link->receive()) {
      if (frame->channel == protocol::Channel::control) {
        const auto envelope = protocol::ControlEnvelope::of(*frame);
        const bool stats = envelope.message.type() == protocol::Stats::type;
        if (stats) tally->lastStats = envelope.encodedJSON();
        if (!stats || !tally->terse) print("received " + envelope.encodedJSON());
        if (tally->stopOnReady && envelope.message.as<protocol::DisplayReady>()) {
          std::string reason = *std::exchange(tally->stopOnReady, std::nullopt);
          co_await transport->stop(std::move(reason));
          print("stopped on displayReady");
        }
      } else {
        const bool isVideo = frame->channel == protocol::Channel::video;
        if (isVideo && video) {
          // Flushed per frame: a reader may look at the file while the stream runs.
          video->write(reinterpret_cast<const char*>(frame->payload.data()),
                       static_cast<std::streamsize>(frame->payload.size()));
          video->flush();
        }
        const bool key = (frame->flags & protocol::FrameFlags::keyframe) != protocol::FrameFlags{};
        const std::string channel(protocol::wordOf(frame->channel));
        if (++tally->frames[channel] > 1 && tally->terse) continue;
        print("frame " + std::string(protocol::wordOf(frame->channel)) + " " +
              std::to_string(frame->payload.size()) + (key ? " key" : ""));
      }
    }
  } catch (const std::exception& e) {
    print(std::string("error ") + e.what());
  }
}

void ScriptedPhone::printStats() const {
  print_("stats " + (tally_->lastStats.empty() ? std::string("none yet") : tally_->lastStats));
  for (const auto& [channel, count] : tally_->frames) {
    print_("frames " + channel + " " + std::to_string(count));
  }
}

asio::awaitable<void> ScriptedPhone::startListening() {
  co_await transport_->start();
  const auto plain = co_await transport_->plainListenerPort();
  const auto secure = co_await transport_->secureListenerPort();
  print_("listening " + std::to_string(plain.value_or(0)) + " " +
         std::to_string(secure.value_or(0)));
}

asio::awaitable<void> ScriptedPhone::send(ControlMessage message) {
  if (!live_) throw std::runtime_error("no host");
  co_await live_->send(std::move(message));
}

asio::awaitable<bool> ScriptedPhone::command(std::string line) {
  std::istringstream words(line);
  std::string verb;
  words >> verb;
  if (verb.empty()) co_return true;
  if (verb == "quit") co_return false;
  std::string failure;
  try {
    if (verb == "start") {
      co_await startListening();
    } else if (verb == "stop") {
      std::string reason = reasonIn(words, protocol::ByeReason::backgrounded);
      co_await transport_->stop(std::move(reason));
    } else if (verb == "forget") {
      co_await transport_->forgetAll();
    } else if (verb == "pane" || verb == "touch" || verb == "send") {
      ControlMessage message = messageOf(verb, words);
      co_await send(std::move(message));
    } else if (verb == "stop-on-ready") {
      tally_->stopOnReady = reasonIn(words, protocol::ByeReason::userDisconnected);
    } else if (verb == "stats") {
      printStats();
    } else if (verb == "close") {
      if (!live_) throw std::runtime_error("no host");
      std::optional<std::string> reason(reasonIn(words, protocol::ByeReason::userDisconnected));
      co_await live_->close(std::move(reason));
    } else {
      throw std::invalid_argument("unknown command " + verb);
    }
  } catch (const std::exception& e) {
    failure = e.what();
  }
  print_(failure.empty() ? "ok " + verb : "error " + failure);
  co_return true;
}

}  // namespace brindlet::tools
