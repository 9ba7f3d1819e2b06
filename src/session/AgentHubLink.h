#pragma once

#include <functional>
#include <string>

#include <boost/asio/awaitable.hpp>

#include "protocol/AgentMessages.h"

namespace brindlet::session {

// The host session's view of the agent hub: the closures through which the hub reaches the
// phone and the keyboard, the board a new link is sent, and the phone's answers.
class AgentHubLink {
 public:
  using OnChange = std::function<void(const protocol::AgentBoard&)>;
  using IsPhoneConnected = std::function<bool()>;
  using TypeText = std::function<void(const std::string&)>;
  using PressKey = std::function<boost::asio::awaitable<void>(std::string)>;

  virtual ~AgentHubLink() = default;

  // Called with the whole board, sorted, whenever the hub publishes a change.
  virtual void setOnChange(OnChange onChange) = 0;
  virtual void setIsPhoneConnected(IsPhoneConnected isPhoneConnected) = 0;
  virtual void setTypeText(TypeText typeText) = 0;
  virtual void setPressKey(PressKey pressKey) = 0;
  // The cards as they are now, in board order (needsYou, error, done, working, idle; the
  // latest change first within a state).
  virtual protocol::AgentBoard board() const = 0;
  // One answer of the phone to a card.
  virtual boost::asio::awaitable<void> handle(protocol::AgentAction action) = 0;
};

}  // namespace brindlet::session
