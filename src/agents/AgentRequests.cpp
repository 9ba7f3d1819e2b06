// Permission requests that wait for the phone, and the phone's verbs on a card.

#include <nlohmann/json.hpp>

#include "agents/AgentHub.h"
#include "agents/AgentTexts.h"
#include "runtime/OneShot.h"
#include "runtime/Task.h"

namespace brindlet::agents {

namespace asio = boost::asio;
using protocol::AgentCard;
using protocol::AgentState;
using protocol::AgentVerb;
using runtime::Bytes;

struct AgentHub::Pending {
  std::string agent;                          // the session whose card asked
  std::optional<std::string> subagent;        // the subagent within it that asked, if one did
  std::optional<nlohmann::json> suggestions;  // the hook's, as received
  std::shared_ptr<runtime::OneShot<Bytes>> answer;
  runtime::TaskHandle expiry;  // cancelled once answered, so nothing sleeps for a done request
};

AgentHub::~AgentHub() {
  auto waiting = std::move(pending_);
  for (auto& [id, pending] : waiting) {
    pending->expiry.cancel();
    pending->answer->resume(noDecisionReply());
  }
}

namespace {

// Tools that take the user's own input: approved from outside, they run without an answer.
bool needsTheUsersInput(const std::optional<std::string>& tool) {
  return tool == "AskUserQuestion";
}

// "Asks in the terminal", with the first question when there is one.
std::string questionNotice(const nlohmann::json* input) {
  std::string notice = "Asks in the terminal";
  if (input == nullptr) return notice;
  const auto questions = input->find("questions");
  if (questions == input->end() || !questions->is_array() || questions->empty()) return notice;
  const auto question = stringIn(questions->front(), "question");
  if (!question) return notice;
  return oneLine(notice + ": " + *question, 120).value_or(notice);
}

}  // namespace

void AgentHub::endRequestsOf(const std::string& session, const std::string& name,
                             const nlohmann::json& hook) {
  // The end of a turn or of the session ends every request of it. A tool's end or a new request
  // ends only those of the same agent: subagents share their session's id, name themselves in
  // "agent_id" and may run side by side.
  const bool wholeSession = name == "UserPromptSubmit" || name == "Stop" || name == "SessionEnd";
  if (!wholeSession && name != "PermissionRequest" && name != "PostToolUse" &&
      name != "PostToolUseFailure") {
    return;
  }
  const auto subagent = stringIn(hook, "agent_id");
  std::vector<std::string> ids;
  for (const auto& [id, pending] : pending_) {
    if (pending->agent == session && (wholeSession || pending->subagent == subagent)) {
      ids.push_back(id);
    }
  }
  for (const auto& id : ids) resolve(id, noDecisionReply());
}

asio::awaitable<Bytes> AgentHub::request(const nlohmann::json& hook, AgentCard card,
                                         std::string session) {
  if (!isPhoneConnected()) co_return noDecisionReply();
  const auto tool = stringIn(hook, "tool_name");
  const auto* input = objectIn(hook, "tool_input");
  if (needsTheUsersInput(tool)) {
    // Sent back to the terminal at once; the card offers going there instead of approving.
    const auto notice = questionNotice(input);
    setState(card, AgentState::needsYou);
    card.detail = notice;
    appendEvent(card, protocol::AgentEventKind::notice, notice);
    agents_.insert_or_assign(session, std::move(card));
    publish();
    co_return noDecisionReply();
  }
  const auto id = "r" + std::to_string(nextRequest_++);
  // A null list is no list: handing it back as the permissions to keep would spoil the reply.
  std::optional<nlohmann::json> suggestions;
  if (const auto found = hook.find("permission_suggestions");
      found != hook.end() && !found->is_null()) {
    suggestions = *found;
  }

  protocol::AgentRequest open{id, tool.value_or("Tool"), activityText(tool, input, false),
                              suggestions && suggestions->is_array() && !suggestions->empty()};
  const auto notice = "Wants to " +
                      (open.tool == "Bash" ? std::string("run") : "use " + open.tool) + ": " +
                      open.summary;
  setState(card, AgentState::needsYou);
  card.detail = notice;
  appendEvent(card, protocol::AgentEventKind::notice, notice);
  card.request = std::move(open);
  agents_.insert_or_assign(session, std::move(card));
  publish();

  auto pending = std::make_shared<Pending>();
  pending->agent = std::move(session);
  pending->subagent = stringIn(hook, "agent_id");
  pending->suggestions = std::move(suggestions);
  pending->answer = runtime::OneShot<Bytes>::make();
  pending->expiry = runtime::spawn(executor_, expire(weak_from_this(), clock_, requestTimeout, id));
  // The hook went away (the agent's own prompt was answered, or curl was stopped): the request
  // is over, and the card says so at once.
  std::weak_ptr<AgentHub> weak = weak_from_this();
  pending->answer->onCancel([weak, id] {
    if (auto self = weak.lock()) self->resolve(id, noDecisionReply());
  });
  auto answer = pending->answer;
  pending_.insert_or_assign(id, std::move(pending));
  // Nothing of the hub is touched after the wait: the hub may be gone by then.
  co_return co_await answer->wait();
}

asio::awaitable<void> AgentHub::expire(std::weak_ptr<AgentHub> weak,
                                       std::shared_ptr<runtime::Clock> clock,
                                       runtime::Duration after, std::string id) {
  try {
    co_await clock->sleep(after);
  } catch (const boost::system::system_error&) {
    co_return;  // answered before its time
  }
  if (auto self = weak.lock()) self->resolve(id, noDecisionReply());
}

void AgentHub::answerWaiting() {
  std::vector<std::string> ids;
  for (const auto& [id, pending] : pending_) ids.push_back(id);
  for (const auto& id : ids) settle(id, noDecisionReply(), false);
}

void AgentHub::resolve(const std::string& id, Bytes reply) {
  settle(id, std::move(reply), false);
}

void AgentHub::settle(const std::string& id, Bytes reply, bool interrupts) {
  const auto found = pending_.find(id);
  if (found == pending_.end()) return;
  const auto pending = std::move(found->second);
  pending_.erase(found);
  pending->expiry.cancel();

  const auto card = agents_.find(pending->agent);
  if (card != agents_.end() && card->second.request && card->second.request->id == id) {
    auto& shown = card->second;
    const bool undecided = reply == noDecisionReply();
    if (!undecided) {
      const bool approved = runtime::asText(reply).find("\"allow\"") != std::string_view::npos;
      appendEvent(shown,
                  approved ? protocol::AgentEventKind::approved : protocol::AgentEventKind::denied,
                  approved ? "You approved it" : "You denied it");
    }
    shown.request.reset();
    // An interrupted turn ends without a Stop event of its own.
    shown.detail = interrupts ? "Stopped" : undecided ? "Waiting in the terminal" : "Working";
    setState(shown, interrupts ? AgentState::done : AgentState::working);
    publish();
  }
  pending->answer->resume(std::move(reply));
}

void AgentHub::decide(const protocol::AgentAction& action) {
  if (!action.request) return;
  const auto found = pending_.find(*action.request);
  // Another card's request is not this card's to answer: a stale card must not decide it.
  if (found == pending_.end() || found->second->agent != action.agent) return;
  Bytes reply;
  if (action.verb == AgentVerb::deny) {
    reply = permissionReply(false, nullptr, false);
  } else {
    const auto& suggestions = found->second->suggestions;
    const bool keep = action.verb == AgentVerb::alwaysAllow && suggestions;
    reply = permissionReply(true, keep ? &*suggestions : nullptr, false);
  }
  resolve(*action.request, std::move(reply));
}

asio::awaitable<void> AgentHub::handle(protocol::AgentAction action) {
  const auto self = shared_from_this();  // the hub outlives the jump it waits for
  const auto card = agents_.find(action.agent);
  if (card == agents_.end()) co_return;
  std::optional<std::string> open;
  if (card->second.request) open = card->second.request->id;

  switch (action.verb) {
    case AgentVerb::approve:
    case AgentVerb::alwaysAllow:
    case AgentVerb::deny:
      decide(action);
      co_return;
    case AgentVerb::jump: {
      if (open) resolve(*open, noDecisionReply());
      auto focusing = focusTerminal(action.agent);
      co_await std::move(focusing);
      co_return;
    }
    case AgentVerb::stop: {
      if (open) {
        settle(*open, permissionReply(false, nullptr, true), true);
        co_return;
      }
      auto focusing = focusTerminal(action.agent);
      if (!co_await std::move(focusing)) co_return;
      auto pressing = pressKey("escape");
      co_await std::move(pressing);
      co_return;
    }
    case AgentVerb::reply: {
      if (open || !action.text || action.text->empty()) co_return;
      auto focusing = focusTerminal(action.agent);
      // No keystroke goes to whatever else is in front.
      if (!co_await std::move(focusing)) co_return;
      typeText(*action.text);
      auto pressing = pressKey("return");
      co_await std::move(pressing);
      co_return;
    }
  }
}

asio::awaitable<bool> AgentHub::focusTerminal(std::string agent) {
  const auto where = terminals_.find(agent);
  if (where == terminals_.end() || !jumper_) co_return false;
  auto jumping = jumper_->jump(where->second);
  co_return co_await std::move(jumping);
}

}  // namespace brindlet::agents
