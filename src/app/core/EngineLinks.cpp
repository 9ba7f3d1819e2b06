#include "app/core/EngineLinks.h"

#include "agents/AgentHub.h"
#include "deck/DeckEngine.h"

namespace brindlet::app {

void DeckLink::setSend(Send send) {
  ++wirings_;
  engine_->setSend(std::move(send));
}

void DeckLink::resetSentLooks() {
  engine_->resetSentLooks();
}

void DeckLink::sendProfile() {
  engine_->sendProfile();
}

boost::asio::awaitable<void> DeckLink::updateMeeting() {
  return engine_->updateMeeting();
}

boost::asio::awaitable<void> DeckLink::refresh() {
  return engine_->refresh();
}

boost::asio::awaitable<void> DeckLink::perform(protocol::DeckAction action) {
  // The engine outlives the action: the session may drop its link while the action waits.
  auto engine = engine_;
  co_await engine->perform(std::move(action));
}

void HubLink::setOnChange(OnChange onChange) {
  hub_->onChange = std::move(onChange);
}

void HubLink::setIsPhoneConnected(IsPhoneConnected isPhoneConnected) {
  hub_->isPhoneConnected = std::move(isPhoneConnected);
}

void HubLink::setTypeText(TypeText typeText) {
  hub_->typeText = std::move(typeText);
}

void HubLink::setPressKey(PressKey pressKey) {
  hub_->pressKey = std::move(pressKey);
}

protocol::AgentBoard HubLink::board() const {
  return hub_->board();
}

boost::asio::awaitable<void> HubLink::handle(protocol::AgentAction action) {
  auto hub = hub_;
  co_await hub->handle(std::move(action));
}

}  // namespace brindlet::app
