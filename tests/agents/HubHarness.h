#pragma once

// The agent hub on the test's own loop with a manual clock, a fixed wall time that moves one
// second per hook event, and recording doubles for the phone, the terminal jumper and the keys.

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <boost/asio/io_context.hpp>

#include "agents/AgentHub.h"
#include "runtime/Task.h"
#include "support/Loop.h"

namespace brindlet::agents::testing {

namespace asio = boost::asio;
using Transcript = std::vector<std::string>;

// Records each jump as "jump <tty>" and answers as told.
struct RecordingJumper : TerminalJumping {
  explicit RecordingJumper(Transcript& transcript) : transcript(transcript) {}
  asio::awaitable<bool> jump(TerminalLocation location) override {
    transcript.push_back("jump " + location.tty);
    co_return answer;
  }
  Transcript& transcript;
  bool answer = true;
};

// A hook event in flight: its reply once it has one.
struct Hook {
  runtime::TaskHandle task;
  std::shared_ptr<std::optional<std::string>> reply;
  bool answered() const { return reply->has_value(); }
};

struct HubHarness {
  asio::io_context io;
  std::shared_ptr<runtime::ManualClock> clock = std::make_shared<runtime::ManualClock>();
  Transcript transcript;  // jumps, typed texts and keys, in order
  std::shared_ptr<RecordingJumper> jumper = std::make_shared<RecordingJumper>(transcript);
  std::shared_ptr<AgentHub> hub = std::make_shared<AgentHub>(io.get_executor(), clock, jumper);
  std::vector<protocol::AgentBoard> boards;
  bool phone = true;
  double wall = 0;

  HubHarness() {
    hub->onChange = [this](const protocol::AgentBoard& board) { boards.push_back(board); };
    hub->isPhoneConnected = [this] { return phone; };
    hub->typeText = [this](const std::string& text) { transcript.push_back("type " + text); };
    hub->pressKey = [this](std::string key) { return press(&transcript, std::move(key)); };
    hub->now = [this] { return wall; };
  }
  ~HubHarness() {
    hub.reset();
    brindlet::testing::drain(io);
  }

  static asio::awaitable<void> press(Transcript* transcript, std::string key) {
    transcript->push_back("key " + key);
    co_return;
  }

  // Posts one hook body one second after the last; the reply is there unless it waits.
  Hook post(std::string body, TerminalLocation where = {}, std::string vendor = "claude") {
    wall += 1;
    Hook hook{{}, std::make_shared<std::optional<std::string>>()};
    // The hub itself, not a share of it: a hub that goes answers what waits.
    auto handling = [](AgentHub* hub, HookEvent event,
                       std::shared_ptr<std::optional<std::string>> reply) -> asio::awaitable<void> {
      const auto bytes = co_await hub->handle(std::move(event));
      *reply = std::string(bytes.begin(), bytes.end());
    };
    HookEvent event{std::move(vendor), runtime::Bytes(body.begin(), body.end()), std::move(where)};
    hook.task =
        runtime::spawn(io.get_executor(), handling(hub.get(), std::move(event), hook.reply));
    brindlet::testing::drain(io);
    return hook;
  }

  void act(protocol::AgentAction action) {
    runtime::spawn(io.get_executor(), hub->handle(std::move(action)));
    brindlet::testing::drain(io);
  }

  const protocol::AgentCard* card(const std::string& id) const {
    const auto found = hub->agents().find(id);
    return found == hub->agents().end() ? nullptr : &found->second;
  }
};

// A hook body of session "s" (or the given one) with the event's name and further members.
inline std::string hookBody(std::string_view name, std::string_view more = "",
                            std::string_view session = "s") {
  std::string body = "{\"session_id\":\"" + std::string(session) + "\",\"hook_event_name\":\"" +
                     std::string(name) + "\"";
  if (!more.empty()) body += "," + std::string(more);
  return body + "}";
}

}  // namespace brindlet::agents::testing
