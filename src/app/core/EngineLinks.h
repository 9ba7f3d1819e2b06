#pragma once

#include <cstddef>
#include <memory>

#include "session/AgentHubLink.h"
#include "session/DeckEngineLink.h"

namespace brindlet::deck {
class DeckEngine;
}
namespace brindlet::agents {
class AgentHub;
}

namespace brindlet::app {

// The host session's view of the deck engine.
class DeckLink final : public session::DeckEngineLink {
 public:
  explicit DeckLink(std::shared_ptr<deck::DeckEngine> engine) : engine_(std::move(engine)) {}

  void setSend(Send send) override;
  void resetSentLooks() override;
  void sendProfile() override;
  boost::asio::awaitable<void> updateMeeting() override;
  boost::asio::awaitable<void> refresh() override;
  boost::asio::awaitable<void> perform(protocol::DeckAction action) override;

  const std::shared_ptr<deck::DeckEngine>& engine() const { return engine_; }
  // How often the session wired the engine (each wiring sets its sender).
  std::size_t wirings() const { return wirings_; }

 private:
  std::shared_ptr<deck::DeckEngine> engine_;
  std::size_t wirings_ = 0;
};

// The host session's view of the agent hub.
class HubLink final : public session::AgentHubLink {
 public:
  explicit HubLink(std::shared_ptr<agents::AgentHub> hub) : hub_(std::move(hub)) {}

  void setOnChange(OnChange onChange) override;
  void setIsPhoneConnected(IsPhoneConnected isPhoneConnected) override;
  void setTypeText(TypeText typeText) override;
  void setPressKey(PressKey pressKey) override;
  protocol::AgentBoard board() const override;
  boost::asio::awaitable<void> handle(protocol::AgentAction action) override;

 private:
  std::shared_ptr<agents::AgentHub> hub_;
};

}  // namespace brindlet::app
