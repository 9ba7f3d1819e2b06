#pragma once

#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/awaitable.hpp>
#include <nlohmann/json_fwd.hpp>

#include "agents/HookEvent.h"
#include "agents/TerminalJumping.h"
#include "protocol/AgentMessages.h"
#include "runtime/Bytes.h"
#include "runtime/Clock.h"

namespace brindlet::agents {

// The agent board: one card per coding-agent session, fed by hook events and published whole,
// in board order, after every change. Permission requests wait here for the phone's answer, and
// the phone's verbs act on the cards. Lives on the main loop and is touched only from it; made
// with std::make_shared, since its time-outs hold it weakly.
class AgentHub : public std::enable_shared_from_this<AgentHub> {
 public:
  using Cards = std::map<std::string, protocol::AgentCard>;  // by session id

  static constexpr runtime::Duration defaultRequestTimeout = std::chrono::seconds(240);

  // The host session sets these as its link comes and goes; they do nothing (and no phone is
  // connected) until then.
  std::function<void(const protocol::AgentBoard&)> onChange;
  std::function<bool()> isPhoneConnected;
  std::function<void(const std::string&)> typeText;
  std::function<boost::asio::awaitable<void>(std::string)> pressKey;
  // Wall time in seconds since 1970, for the cards' `since` and the events' times.
  std::function<double()> now;
  // How long a permission request waits for the phone; read when the request arrives.
  runtime::Duration requestTimeout = defaultRequestTimeout;

  // `clock` times the requests' waits; `jumper` brings terminals forward (none: never).
  AgentHub(boost::asio::any_io_executor executor, std::shared_ptr<runtime::Clock> clock,
           std::shared_ptr<TerminalJumping> jumper);
  // Requests still waiting are answered "{}", so that no hook hangs on a hub that is gone.
  ~AgentHub();
  AgentHub(const AgentHub&) = delete;
  AgentHub& operator=(const AgentHub&) = delete;

  // One hook event; returns the hook's reply. A permission request waits for the phone, the
  // time-out, the hook's going away (cancelling the wait answers it "{}") or the session's next
  // step; everything else is answered "{}" at once.
  boost::asio::awaitable<runtime::Bytes> handle(HookEvent event);
  // One verb of the phone on a card; actions for cards that do not exist are ignored.
  boost::asio::awaitable<void> handle(protocol::AgentAction action);

  // Answers a waiting request and updates the card that shows it; nothing for an id that no
  // longer waits.
  void resolve(const std::string& id, runtime::Bytes reply);
  // Answers every waiting request "{}", so that its agent asks in the terminal instead.
  void answerWaiting();
  // Brings the session's terminal forward; false when none is known or none came forward.
  boost::asio::awaitable<bool> focusTerminal(std::string agent);

  // The whole board, sorted.
  protocol::AgentBoard board() const;
  // Hands the whole board to onChange.
  void publish();
  // Board order: needsYou, error, done, working, idle; the latest change first within a state.
  static void sortBoard(std::vector<protocol::AgentCard>& cards);

  const Cards& agents() const { return agents_; }
  const std::map<std::string, TerminalLocation>& terminals() const { return terminals_; }
  std::size_t pendingCount() const { return pending_.size(); }
  std::uint64_t nextRequest() const { return nextRequest_; }

 private:
  struct Pending;

  protocol::AgentCard startCard(const std::string& session, const std::string& vendor,
                                const std::optional<std::string>& folder,
                                std::optional<std::string> branch) const;
  void apply(const std::string& name, const nlohmann::json& hook, protocol::AgentCard& card);
  void handleNotification(const nlohmann::json& hook, protocol::AgentCard& card);
  void setState(protocol::AgentCard& card, protocol::AgentState state) const;
  void appendEvent(protocol::AgentCard& card, protocol::AgentEventKind kind,
                   const std::optional<std::string>& text) const;
  // Answers "{}" the session's waiting requests that the event shows were answered elsewhere.
  void endRequestsOf(const std::string& session, const std::string& name,
                     const nlohmann::json& hook);
  // resolve, leaving the card done when the reply stops the agent's turn.
  void settle(const std::string& id, runtime::Bytes reply, bool interrupts);
  boost::asio::awaitable<runtime::Bytes> request(const nlohmann::json& hook,
                                                 protocol::AgentCard card, std::string session);
  // approve, alwaysAllow and deny: answer the named request if it is this agent's.
  void decide(const protocol::AgentAction& action);
  static boost::asio::awaitable<void> expire(std::weak_ptr<AgentHub> weak,
                                             std::shared_ptr<runtime::Clock> clock,
                                             runtime::Duration after, std::string id);

  boost::asio::any_io_executor executor_;
  std::shared_ptr<runtime::Clock> clock_;
  std::shared_ptr<TerminalJumping> jumper_;
  Cards agents_;
  std::map<std::string, TerminalLocation> terminals_;        // the last one each session reported
  std::map<std::string, std::shared_ptr<Pending>> pending_;  // by request id
  std::uint64_t nextRequest_ = 1;
};

}  // namespace brindlet::agents
