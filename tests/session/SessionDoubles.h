#pragma once

// Recording doubles of the roles the host session drives. Each keeps a trace of what it was
// asked, in words a test can compare whole.

#include <algorithm>
#include <cstdio>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <boost/asio/any_io_executor.hpp>

#include "runtime/OneShot.h"
#include "session/AgentHubLink.h"
#include "session/DeckEngineLink.h"
#include "session/InputError.h"
#include "session/InputInjector.h"
#include "session/WindowFollowing.h"
#include "streaming/DisplayError.h"
#include "streaming/FakeVideoEncoder.h"
#include "streaming/VideoPipeline.h"
#include "streaming/VideoStreaming.h"
#include "streaming/VirtualDisplay.h"
#include "transport/HostTransporting.h"

namespace brindlet::session::testing {

namespace asio = boost::asio;
using Trace = std::vector<std::string>;

inline std::string number(double value) {
  char text[32];
  std::snprintf(text, sizeof text, "%g", value);
  return text;
}

// The transport: the test pushes the events.
class FakeTransport final : public transport::HostTransporting {
 public:
  std::shared_ptr<transport::HostTransportEvents> queue = transport::HostTransportEvents::make();
  int starts = 0;
  int eventReads = 0;

  std::shared_ptr<transport::HostTransportEvents> events() const override {
    ++const_cast<FakeTransport*>(this)->eventReads;
    return queue;
  }
  asio::awaitable<void> start() override {
    ++starts;
    co_return;
  }
  asio::awaitable<void> stop() override { co_return; }
  asio::awaitable<transport::ClientLink> connect(transport::NearbyPhone) override {
    throw std::logic_error("not dialled in these tests");
  }
  asio::awaitable<transport::PairingAttempt> requestPairing(transport::NearbyPhone) override {
    throw std::logic_error("not paired in these tests");
  }
  asio::awaitable<transport::ClientLink> completePairing(transport::PairingAttempt,
                                                         std::string) override {
    throw std::logic_error("not paired in these tests");
  }
  asio::awaitable<void> cancelPairing(transport::PairingAttempt) override { co_return; }
  asio::awaitable<void> forget(std::string) override { co_return; }
};

// Displays numbered from 1; "attach Alpha (Brindlet) 589x1278", "detach". The next attach can
// be made to fail, or held until the test lets it finish.
class RecordingDisplays final : public streaming::DisplayManaging {
 public:
  Trace* trace = nullptr;
  std::optional<streaming::DisplayError> failNext;
  bool holdNext = false;
  std::shared_ptr<runtime::OneShot<std::monostate>> held;
  std::optional<std::uint32_t> attached;

  asio::awaitable<std::uint32_t> attach(streaming::VirtualDisplayConfig config) override {
    trace->push_back("attach " + config.name + " " + std::to_string(config.pointWidth) + "x" +
                     std::to_string(config.pointHeight));
    if (std::exchange(holdNext, false)) {
      held = runtime::OneShot<std::monostate>::make();
      co_await held->wait();
    }
    if (failNext) throw *std::exchange(failNext, std::nullopt);
    if (!attached || lastConfig != config) attached = ++lastId;
    lastConfig = config;
    co_return *attached;
  }
  asio::awaitable<void> detach() override {
    trace->push_back("detach");
    attached.reset();
    co_return;
  }
  void onReplaced(ReplacedHandler handler) override { replaced = std::move(handler); }
  // As the manager reports a display made again after a wake, or lost.
  void replace(std::optional<std::uint32_t> replacement) {
    const auto old = *attached;
    attached = replacement;
    if (replacement) lastId = std::max(lastId, *replacement);
    replaced(old, replacement);
  }
  ReplacedHandler replaced;

 private:
  std::uint32_t lastId = 0;
  streaming::VirtualDisplayConfig lastConfig;
};

// Streams on a real pipeline over the session's sink and the fake encoder, so that frames reach
// the phone and the pipeline counts them; "start 1178x2556 h264 balanced on 1", "stop" (only
// when a stream ran), "quality best".
class RecordingStreamer final : public streaming::VideoStreaming {
 public:
  Trace* trace = nullptr;
  std::optional<streaming::StreamError> failNext;
  bool holdNext = false;  // the next start waits until the test resumes `held`
  std::shared_ptr<runtime::OneShot<std::monostate>> held;
  std::shared_ptr<streaming::FakeVideoEncoder::Script> script =
      std::make_shared<streaming::FakeVideoEncoder::Script>();
  std::shared_ptr<streaming::VideoSink> sink;  // of the last start
  streaming::EncoderSettings settings;

  explicit RecordingStreamer(asio::any_io_executor encoderOutputs) {
    script->outputs = std::move(encoderOutputs);
    script->sizeOf = [](const auto&) { return std::size_t(100); };
  }

  asio::awaitable<void> start(streaming::EncoderSettings s,
                              std::shared_ptr<streaming::VideoSink> to,
                              std::uint32_t display) override {
    co_await stop();
    trace->push_back("start " + std::to_string(s.width) + "x" + std::to_string(s.height) + " " +
                     std::string(protocol::wordOf(s.codec)) + " " +
                     std::string(streaming::rawValue(s.quality)) + " on " +
                     std::to_string(display));
    if (std::exchange(holdNext, false)) {
      held = runtime::OneShot<std::monostate>::make();
      co_await held->wait();
    }
    if (failNext) throw *std::exchange(failNext, std::nullopt);
    settings = s;
    sink = to;
    pipeline_ = streaming::VideoPipeline::make(s, to, streaming::FakeVideoEncoder::factory(script));
  }
  asio::awaitable<void> stop() override {
    if (pipeline_) trace->push_back("stop");
    pipeline_.reset();
    co_return;
  }
  void setQuality(streaming::VideoQuality quality) override {
    trace->push_back("quality " + std::string(streaming::rawValue(quality)));
  }
  std::shared_ptr<streaming::VideoPipeline> pipeline() const override { return pipeline_; }
  void onStopped(StoppedHandler handler) override { stopped = std::move(handler); }
  void onQualityRefused(QualityRefusedHandler handler) override { refused = std::move(handler); }
  QualityRefusedHandler refused;
  // As the streamer reports capture ending on its own: what runs stays until stop or start.
  void stopOnItsOwn(const streaming::StreamError& error) { stopped(error); }
  StoppedHandler stopped;

  // Captured frames into the running pipeline; their output follows on the encoder's executor.
  void capture(int frames) {
    for (int i = 0; i < frames; ++i) pipeline_->submit(nullptr, {++captured_, 60});
  }
  // A pipeline of the streamer's own making, as if the stream had started again unasked.
  void restartPipeline() {
    pipeline_ = streaming::VideoPipeline::make(settings, sink,
                                               streaming::FakeVideoEncoder::factory(script));
  }

 private:
  std::shared_ptr<streaming::VideoPipeline> pipeline_;
  std::int64_t captured_ = 0;
};

// Input: "touch ended", "key down", "text", "release"; answers with the scripted outcomes
// (posted when none are left).
class RecordingInput final : public InputInjecting {
 public:
  Trace handled;
  std::deque<InputOutcome> outcomes;
  int releases = 0;
  std::vector<DisplayRect> pushes;
  std::optional<InputError> pushFailure;
  DisplayRect lastRect;

  InputOutcome handle(const protocol::ControlMessage& message, const DisplayRect& r) override {
    handled.push_back(std::string(message.type()));
    lastRect = r;
    if (outcomes.empty()) return InputOutcome::posted;
    auto outcome = outcomes.front();
    outcomes.pop_front();
    return outcome;
  }
  void release() override { ++releases; }
  asio::awaitable<void> pushDock(DisplayRect r) override {
    pushes.push_back(r);
    if (pushFailure) throw *pushFailure;
    co_return;
  }
};

class RecordingFollower final : public WindowFollowing {
 public:
  std::vector<desktop::Rect> armed;
  bool enabled = true;
  bool isEnabled() const override { return enabled; }
  void setEnabled(bool on) override { enabled = on; }
  void arm(desktop::Rect target) override { armed.push_back(target); }
};

// A deck engine with a current profile, optionally a live meeting, and two keys whose looks it
// sends when they differ from those the phone has.
class RecordingDeck final : public DeckEngineLink {
 public:
  Send send;
  bool hasProfile = true;
  bool meetingLive = false;
  std::map<std::string, protocol::KeyState> looks;
  std::map<std::string, protocol::KeyState> sentLooks;
  std::optional<std::string> meetingShown;
  std::vector<protocol::DeckAction> performed;
  bool holdRefresh = false;  // the next refresh waits until the test resumes `held`
  std::shared_ptr<runtime::OneShot<std::monostate>> held;

  RecordingDeck() {
    looks["k1"].label = "One";
    looks["k2"].label = "Two";
  }

  void setSend(Send s) override { send = std::move(s); }
  void resetSentLooks() override {
    sentLooks.clear();
    meetingShown.reset();
  }
  void sendProfile() override {
    if (send && hasProfile) send(protocol::DeckProfile{});
  }
  asio::awaitable<void> updateMeeting() override {
    if (send && meetingLive && !meetingShown) {
      meetingShown = "zoom";
      send(protocol::MeetingDeck{});
    }
    co_return;
  }
  asio::awaitable<void> refresh() override {
    if (std::exchange(holdRefresh, false)) {
      held = runtime::OneShot<std::monostate>::make();
      co_await held->wait();
    }
    protocol::DeckState changed;
    changed.profile = "p";
    for (const auto& [key, look] : looks) {
      auto sent = sentLooks.find(key);
      if (sent == sentLooks.end() || !(sent->second == look)) changed.states[key] = look;
    }
    if (send && !changed.states.empty()) {
      for (const auto& [key, look] : changed.states) sentLooks[key] = look;
      send(changed);
    }
    co_return;
  }
  asio::awaitable<void> perform(protocol::DeckAction action) override {
    performed.push_back(std::move(action));
    co_return;
  }
};

class RecordingAgents final : public AgentHubLink {
 public:
  OnChange onChange;
  IsPhoneConnected isPhoneConnected;
  TypeText typeText;
  PressKey pressKey;
  std::vector<protocol::AgentCard> cards;
  std::vector<protocol::AgentAction> handled;

  void setOnChange(OnChange f) override { onChange = std::move(f); }
  void setIsPhoneConnected(IsPhoneConnected f) override { isPhoneConnected = std::move(f); }
  void setTypeText(TypeText f) override { typeText = std::move(f); }
  void setPressKey(PressKey f) override { pressKey = std::move(f); }
  protocol::AgentBoard board() const override {
    auto sorted = cards;
    std::stable_sort(sorted.begin(), sorted.end(),
                     [](const auto& a, const auto& b) { return a.state < b.state; });
    return protocol::AgentBoard{sorted};
  }
  asio::awaitable<void> handle(protocol::AgentAction action) override {
    handled.push_back(std::move(action));
    co_return;
  }
};

}  // namespace brindlet::session::testing
