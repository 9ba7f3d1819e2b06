#include "agents/AgentHub.h"

#include <algorithm>

#include <nlohmann/json.hpp>

#include "agents/AgentTexts.h"
#include "runtime/Blocking.h"
#include "runtime/Json.h"
#include "runtime/Unicode.h"

namespace brindlet::agents {

namespace asio = boost::asio;
using protocol::AgentCard;
using protocol::AgentEventKind;
using protocol::AgentState;
using runtime::Bytes;

namespace {

constexpr std::size_t kDetail = 120;
constexpr std::size_t kPrompt = 400;
constexpr std::size_t kMessage = 1200;

double wallTime() {
  return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
}

asio::awaitable<void> noKey(std::string) {
  co_return;
}

asio::awaitable<std::optional<std::string>> branchOf(std::filesystem::path folder) {
  auto read = [folder] { return gitBranch(folder); };
  return runtime::offloadBlocking(std::move(read));
}

}  // namespace

AgentHub::AgentHub(asio::any_io_executor executor, std::shared_ptr<runtime::Clock> clock,
                   std::shared_ptr<TerminalJumping> jumper)
    : onChange([](const protocol::AgentBoard&) {}),
      isPhoneConnected([] { return false; }),
      typeText([](const std::string&) {}),
      pressKey(noKey),
      now(wallTime),
      executor_(std::move(executor)),
      clock_(std::move(clock)),
      jumper_(std::move(jumper)) {}

asio::awaitable<Bytes> AgentHub::handle(HookEvent event) {
  nlohmann::json hook;
  try {
    runtime::parseJson(runtime::asText(event.body), hook);
  } catch (const runtime::JsonReadError&) {
    co_return noDecisionReply();
  }
  if (!hook.is_object() || hook.empty()) co_return noDecisionReply();
  const auto session = stringIn(hook, "session_id");
  const auto name = stringIn(hook, "hook_event_name");
  if (!session || !name) co_return noDecisionReply();
  // A new session's branch is read from its folder on the blocking worker. Its later events wait
  // here too, behind it, so that they keep their order.
  const auto folder = stringIn(hook, "cwd");
  std::optional<std::string> branch;
  if (!agents_.contains(*session) && folder && !folder->empty()) {
    auto reading = branchOf(*folder);
    branch = co_await std::move(reading);
  }

  // The agent keeps a permission hook running after its own prompt was answered in the terminal;
  // the session's next step shows that the request is over.
  endRequestsOf(*session, *name, hook);
  if (!event.terminal.isEmpty()) terminals_.insert_or_assign(*session, std::move(event.terminal));
  const auto known = agents_.find(*session);
  auto card =
      known != agents_.end() ? known->second : startCard(*session, event.vendor, folder, branch);
  card.canJump = terminals_.contains(*session);

  if (*name == "PermissionRequest") {
    auto waiting = request(hook, std::move(card), *session);
    co_return co_await std::move(waiting);
  }
  if (*name == "SessionEnd") {
    agents_.erase(*session);
    terminals_.erase(*session);
  } else {
    apply(*name, hook, card);
    agents_.insert_or_assign(*session, std::move(card));
  }
  publish();
  co_return noDecisionReply();
}

void AgentHub::apply(const std::string& name, const nlohmann::json& hook, AgentCard& card) {
  if (name == "SessionStart") {
    setState(card, AgentState::idle);
    card.detail = "Ready";
  } else if (name == "UserPromptSubmit") {
    const auto prompt = stringIn(hook, "prompt");
    setState(card, AgentState::working);
    card.detail = oneLine(prompt, kDetail).value_or("Working");
    appendEvent(card, AgentEventKind::prompt, oneLine(prompt, kPrompt));
  } else if (name == "PreToolUse") {
    // The card keeps showing the permission it waits for.
    if (card.state == AgentState::needsYou) return;
    setState(card, AgentState::working);
    card.detail = activityText(stringIn(hook, "tool_name"), objectIn(hook, "tool_input"), true);
    appendEvent(card, AgentEventKind::tool, card.detail);
  } else if (name == "PostToolUse" || name == "PostToolUseFailure") {
    // The tool ran or failed, so nothing waits for the user any more.
    if (card.request) return;
    setState(card, AgentState::working);
    card.detail = "Working";
  } else if (name == "Notification") {
    handleNotification(hook, card);
  } else if (name == "Stop") {
    const auto message = stringIn(hook, "last_assistant_message");
    setState(card, AgentState::done);
    card.detail = oneLine(message, kDetail).value_or("Finished");
    if (message) {
      appendEvent(card, AgentEventKind::message,
                  std::string(runtime::graphemePrefix(*message, kMessage)));
    }
  } else if (name == "StopFailure") {
    auto error = stringIn(hook, "error");
    if (!error) error = stringIn(hook, "message");
    setState(card, AgentState::error);
    card.detail = oneLine(error, kDetail).value_or("Stopped with an error");
    appendEvent(card, AgentEventKind::error, card.detail);
  }
}

void AgentHub::handleNotification(const nlohmann::json& hook, AgentCard& card) {
  const auto type = stringIn(hook, "notification_type");
  if (!type) return;
  const auto text = oneLine(stringIn(hook, "message"), kDetail).value_or("Needs you");
  // The agent's own prompt for what the card already shows: a request, or a question that was
  // sent to the terminal.
  if (*type == "permission_prompt" && (card.request || card.state == AgentState::needsYou)) return;
  if (*type == "permission_prompt" || *type == "agent_needs_input" ||
      *type == "elicitation_dialog") {
    setState(card, AgentState::needsYou);
    // A question that no hook asked (in the agent's automatic modes) is answered only there.
    card.detail = *type == "permission_prompt" ? "Waiting in the terminal" : text;
    appendEvent(card, AgentEventKind::notice, text);
  } else if (*type == "idle_prompt") {
    if (card.state != AgentState::working) return;
    setState(card, AgentState::idle);
    card.detail = text;
  } else if (*type == "agent_completed") {
    setState(card, AgentState::done);
    card.detail = text;
  }
}

AgentCard AgentHub::startCard(const std::string& session, const std::string& vendor,
                              const std::optional<std::string>& folder,
                              std::optional<std::string> branch) const {
  AgentCard card;
  card.id = session;
  card.vendor = vendor;
  // An empty folder would name the app's own working folder.
  if (folder && !folder->empty()) {
    card.title = lastPathComponent(*folder);
    card.branch = std::move(branch);
  } else {
    card.title = "Agent";
  }
  card.state = AgentState::idle;
  card.detail = "Ready";
  card.since = now();
  return card;
}

void AgentHub::setState(AgentCard& card, AgentState state) const {
  if (card.state == state) return;
  card.state = state;
  card.since = now();
}

void AgentHub::appendEvent(AgentCard& card, AgentEventKind kind,
                           const std::optional<std::string>& text) const {
  if (!text || text->empty()) return;
  auto& recent = card.recent ? *card.recent : card.recent.emplace();
  recent.push_back(protocol::AgentEvent{kind, *text, now()});
  if (recent.size() > AgentCard::recentLimit) {
    recent.erase(recent.begin(), recent.end() - std::ptrdiff_t(AgentCard::recentLimit));
  }
}

protocol::AgentBoard AgentHub::board() const {
  protocol::AgentBoard board;
  board.agents.reserve(agents_.size());
  for (const auto& [id, card] : agents_) board.agents.push_back(card);
  sortBoard(board.agents);
  return board;
}

void AgentHub::publish() {
  onChange(board());
}

void AgentHub::sortBoard(std::vector<AgentCard>& cards) {
  std::stable_sort(cards.begin(), cards.end(), [](const AgentCard& a, const AgentCard& b) {
    if (a.state != b.state) return a.state < b.state;
    return a.since > b.since;
  });
}

}  // namespace brindlet::agents
