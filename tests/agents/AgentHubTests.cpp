// The agent hub on a manual clock, with a wall time that moves one second per hook event and
// recording doubles for the phone, the terminal jumper and the keys: the event table, cut lines,
// branches, board order, permission requests and the phone's verbs.

#include <sys/stat.h>

#include <filesystem>

#include <gtest/gtest.h>
#include <boost/asio/io_context.hpp>

#include "agents/AgentHub.h"
#include "protocol/Enums.h"
#include "runtime/ManualClock.h"
#include "runtime/Task.h"
#include "support/Loop.h"
#include "support/TempDir.h"

namespace brindlet::agents {
namespace {

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
std::string hookBody(std::string_view name, std::string_view more = "",
                     std::string_view session = "s") {
  std::string body = "{\"session_id\":\"" + std::string(session) + "\",\"hook_event_name\":\"" +
                     std::string(name) + "\"";
  if (!more.empty()) body += "," + std::string(more);
  return body + "}";
}

using namespace std::chrono_literals;
using protocol::AgentState;
using protocol::AgentVerb;

std::string repeat(std::string_view piece, int times) {
  std::string text;
  for (int i = 0; i < times; ++i) text += piece;
  return text;
}

std::string quoted(std::string_view key, const std::string& value) {
  return "\"" + std::string(key) + "\":\"" + value + "\"";
}

// The card after the events, as "state|detail|since|kind text;kind text".
std::string look(const protocol::AgentCard& card) {
  std::string text = std::string(protocol::wordOf(card.state)) + "|" + card.detail + "|" +
                     std::to_string(int(card.since)) + "|";
  for (const auto& event : card.recent.value_or(std::vector<protocol::AgentEvent>{})) {
    text += std::string(protocol::wordOf(event.kind)) + " " + event.text + ";";
  }
  return text;
}

struct EventCase {
  const char* name;
  std::vector<std::string> events;  // one second apart, from 1
  std::optional<std::string> card;  // look() of session "s"; none: no card, nothing published
};

const std::string k120 = repeat("a", 120);
const std::string kCombining = repeat("e\xCC\x81", 120);  // é as e + acute
const std::string kFamily =
    repeat("\xF0\x9F\x91\xA9\xE2\x80\x8D\xF0\x9F\x91\xA7", 121);  // 👩‍👧
const std::string kLong = repeat("line one of many ", 300);

std::vector<EventCase> eventCases() {
  const auto prompt = [](const std::string& text) {
    return hookBody("UserPromptSubmit", quoted("prompt", text));
  };
  const auto tool = [](std::string_view name, std::string_view input) {
    return hookBody("PreToolUse", "\"tool_name\":\"" + std::string(name) +
                                      "\",\"tool_input\":" + std::string(input));
  };
  const auto note = [](std::string_view type, std::string_view more = "") {
    std::string members = "\"notification_type\":" + std::string(type);
    if (!more.empty()) members += "," + std::string(more);
    return hookBody("Notification", members);
  };
  const auto ready = "idle|Ready|1|";
  // clang-format off
  return {
      {"array", {"[1]"}, {}},
      {"null", {"null"}, {}},
      {"not JSON", {"{\"session_id\":"}, {}},
      {"empty object", {"{}"}, {}},
      {"no session id", {"{\"hook_event_name\":\"Stop\"}"}, {}},
      {"session id a number", {"{\"session_id\":1,\"hook_event_name\":\"Stop\"}"}, {}},
      {"no event name", {"{\"session_id\":\"s\"}"}, {}},
      {"unknown first event makes the card", {hookBody("Whatever")}, ready},
      {"SessionStart on idle keeps since", {hookBody("X"), hookBody("SessionStart")}, ready},
      {"prompt", {prompt("fix it")}, "working|fix it|1|prompt fix it;"},
      {"second prompt keeps since",
       {prompt("one"), prompt("two")},
       "working|two|1|prompt one;prompt two;"},
      {"120 characters stay", {prompt(k120)}, "working|" + k120 + "|1|prompt " + k120 + ";"},
      {"121 characters: 119 and an ellipsis",
       {prompt(k120 + "b")},
       "working|" + repeat("a", 119) + "\u2026|1|prompt " + k120 + "b;"},
      {"combining marks count once",
       {prompt(kCombining)},
       "working|" + kCombining + "|1|prompt " + kCombining + ";"},
      {"emoji sequences count once",
       {prompt(kFamily)},
       "working|" + kFamily.substr(0, 119 * 11) + "\u2026|1|prompt " + kFamily + ";"},
      {"leading empty lines",
       {prompt("\\n\\r\\n\xE2\x80\xA8  \\nnext")},
       "working|  |1|prompt   ;"},
      {"only line breaks", {prompt("\\n\\u000b\\u0085\\r\\n")}, "working|Working|1|"},
      {"prompt not a string", {hookBody("UserPromptSubmit", "\"prompt\":7")}, "working|Working|1|"},
      {"Bash", {tool("Bash", R"({"command":"npm test\nmore"})")}, "working|npm test|1|tool npm test;"},
      {"Bash without command", {tool("Bash", "{}")}, "working|a command|1|tool a command;"},
      {"Edit", {tool("Edit", R"({"file_path":"/src/a.swift"})")}, "working|Editing a.swift|1|tool Editing a.swift;"},
      {"Write without file", {tool("Write", "[]")}, "working|Editing a file|1|tool Editing a file;"},
      {"Read", {tool("Read", R"({"file_path":"/x/notes/"})")}, "working|Reading notes|1|tool Reading notes;"},
      {"other tool", {tool("mcp__db__query", "{}")}, "working|mcp__db__query|1|tool mcp__db__query;"},
      {"no tool", {hookBody("PreToolUse")}, "working|Working|1|tool Working;"},
      {"PreToolUse leaves needsYou alone",
       {note("\"agent_needs_input\""), tool("Bash", "{}")},
       "needsYou|Needs you|1|notice Needs you;"},
      {"permission prompt",
       {note("\"permission_prompt\"", quoted("message", "Allow?\\nmore"))},
       "needsYou|Waiting in the terminal|1|notice Allow?;"},
      {"elicitation", {note("\"elicitation_dialog\"")}, "needsYou|Needs you|1|notice Needs you;"},
      {"idle prompt while working", {prompt("p"), note("\"idle_prompt\"")}, "idle|Needs you|2|prompt p;"},
      {"idle prompt while done", {hookBody("Stop"), note("\"idle_prompt\"")}, "done|Finished|1|"},
      {"agent completed adds no event", {note("\"agent_completed\"", quoted("message", "ok"))}, "done|ok|1|"},
      {"after a tool the user is no longer needed",
       {note("\"agent_needs_input\""), hookBody("PostToolUse")},
       "working|Working|2|notice Needs you;"},
      {"a failed tool too", {hookBody("Stop"), hookBody("PostToolUseFailure")}, "working|Working|2|"},
      {"other notification", {note("\"weird\"")}, ready},
      {"notification type not a string", {note("3")}, ready},
      {"Stop",
       {hookBody("Stop", quoted("last_assistant_message", kLong + "\\nsecond line"))},
       "done|" + repeat("line one of many ", 7) + "\u2026|1|message " + kLong.substr(0, 1200) + ";"},
      {"Stop without message", {hookBody("Stop")}, "done|Finished|1|"},
      {"StopFailure", {hookBody("StopFailure", quoted("error", "rate limited"))}, "error|rate limited|1|error rate limited;"},
      {"StopFailure message",
       {hookBody("StopFailure", "\"error\":{}," + quoted("message", "boom"))},
       "error|boom|1|error boom;"},
      {"StopFailure bare", {hookBody("StopFailure")}, "error|Stopped with an error|1|error Stopped with an error;"},
      {"SessionEnd", {prompt("p"), hookBody("SessionEnd")}, {}},
  };
  // clang-format on
}

TEST(AgentHub, EventTable) {
  for (const auto& c : eventCases()) {
    HubHarness h;
    for (const auto& body : c.events) EXPECT_EQ(h.post(body).reply->value_or("?"), "{}") << c.name;
    const auto* card = h.card("s");
    ASSERT_EQ(card != nullptr, c.card.has_value()) << c.name;
    if (!card) {
      EXPECT_TRUE(h.boards.empty() || h.boards.back().agents.empty()) << c.name;
      continue;
    }
    EXPECT_EQ(look(*card), *c.card) << c.name;
    EXPECT_EQ(h.boards.size(), c.events.size()) << c.name;
    EXPECT_EQ(h.boards.back().agents.at(0), *card) << c.name;
  }
}

TEST(AgentHub, CardsKeepThirtyEventsAndTheirTerminals) {
  HubHarness h;
  const TerminalLocation tmux{"", "pts/3", "%1", ""};
  h.post(hookBody("UserPromptSubmit", quoted("prompt", "0"), "t"), tmux);
  for (int i = 1; i <= 30; ++i)
    h.post(hookBody("UserPromptSubmit", quoted("prompt", std::to_string(i)), "t"));
  const auto& recent = h.card("t")->recent.value();
  ASSERT_EQ(recent.size(), 30u);
  EXPECT_EQ(recent.front().text, "1");
  EXPECT_EQ(recent.back().text, "30");
  EXPECT_EQ(recent.back().time, 31);
  EXPECT_TRUE(h.card("t")->canJump);
  EXPECT_EQ(h.hub->terminals().at("t"), tmux);

  h.post(hookBody("SessionEnd", "", "t"));
  EXPECT_TRUE(h.hub->terminals().empty());
  h.post(hookBody("SessionStart", "", "t"));
  EXPECT_FALSE(h.card("t")->canJump);
  // An end without a card publishes the board as it is.
  const auto before = h.boards.size();
  h.post(hookBody("SessionEnd", "", "none"));
  EXPECT_EQ(h.boards.size(), before + 1);
  EXPECT_EQ(h.boards.back().agents.size(), 1u);
}

TEST(AgentHub, TitleAndBranchComeFromTheWorkingFolder) {
  struct Case {
    const char* name;
    std::optional<std::string> head;  // ".git/HEAD"; none: missing
    std::optional<std::string> branch;
    bool fifo = false;
  };
  const Case cases[] = {
      {"branch", "ref: refs/heads/feature/x\n", "feature/x"},
      {"blanks around", " \tref: refs/heads/main \r\n\n", "main"},
      {"detached", "3f786850e387550fdab836ed7e6dc881de23001b\n", {}},
      {"missing", {}, {}},
      {"FIFO", "", {}, true},
      {"over 4 KiB", "ref: refs/heads/" + std::string(4096, 'b'), {}},
      {"not UTF-8", "ref: refs/heads/caf\xE9\n", {}},
  };
  for (const auto& c : cases) {
    testsupport::TempDir dir;
    const auto folder = std::filesystem::path(dir.path()) / "proj";
    std::filesystem::create_directories(folder / ".git");
    const auto head = folder / ".git" / "HEAD";
    if (c.fifo) {
      ASSERT_EQ(::mkfifo(head.c_str(), 0600), 0);
    }
    if (c.head && !c.fifo) dir.write("proj/.git/HEAD", *c.head);
    HubHarness h;
    h.post(hookBody("X", quoted("cwd", folder.string() + "/")));
    EXPECT_EQ(h.card("s")->title, "proj") << c.name;
    EXPECT_EQ(h.card("s")->branch, c.branch) << c.name;
  }
  HubHarness h;
  h.post(hookBody("X", "\"cwd\":5"));
  EXPECT_EQ(h.card("s")->title, "Agent");
  EXPECT_EQ(h.card("s")->branch, std::nullopt);
}

TEST(AgentHub, BoardOrderIsStateThenLatestChange) {
  HubHarness h;
  for (const auto& [session, name] :
       std::vector<std::pair<std::string, std::string>>{{"idle", "SessionStart"},
                                                        {"old-working", "UserPromptSubmit"},
                                                        {"needs", "Notification"},
                                                        {"done", "Stop"},
                                                        {"new-working", "UserPromptSubmit"},
                                                        {"error", "StopFailure"}}) {
    h.post(hookBody(name, "\"notification_type\":\"agent_needs_input\"", session));
  }
  std::vector<std::string> order;
  for (const auto& card : h.boards.back().agents) order.push_back(card.id);
  EXPECT_EQ(order, (std::vector<std::string>{"needs", "error", "done", "new-working", "old-working",
                                             "idle"}));
}

// The four decisions, byte for byte; the hook's suggestions come back with their keys sorted.
const std::string kSuggestions =
    R"([{"type":"addRules","rules":[{"toolName":"Bash","ruleContent":"npm test"}],"destination":"localSettings","behavior":"allow"}])";
const std::string kAllow =
    R"({"hookSpecificOutput":{"decision":{"behavior":"allow"},"hookEventName":"PermissionRequest"}})";
const std::string kAllowKept =
    R"({"hookSpecificOutput":{"decision":{"behavior":"allow","updatedPermissions":[{"behavior":"allow","destination":"localSettings","rules":[{"ruleContent":"npm test","toolName":"Bash"}],"type":"addRules"}]},"hookEventName":"PermissionRequest"}})";
const std::string kDeny =
    R"({"hookSpecificOutput":{"decision":{"behavior":"deny","message":"Denied from Brindlet."},"hookEventName":"PermissionRequest"}})";
const std::string kStop =
    R"({"hookSpecificOutput":{"decision":{"behavior":"deny","interrupt":true,"message":"Stopped from Brindlet."},"hookEventName":"PermissionRequest"}})";

std::string bashRequest(bool suggestions = true) {
  return hookBody("PermissionRequest",
                  R"("tool_name":"Bash","tool_input":{"command":"npm test"})" +
                      (suggestions ? ",\"permission_suggestions\":" + kSuggestions : ""));
}

protocol::AgentAction action(AgentVerb verb, std::optional<std::string> request = {},
                             std::optional<std::string> text = {}, std::string agent = "s") {
  return protocol::AgentAction{std::move(agent), verb, std::move(request), std::move(text)};
}

TEST(AgentHub, VerbTable) {
  struct Case {
    const char* name;
    bool waiting;  // the card has an open request "r1"
    bool terminal;
    bool jumps;  // the jumper's answer
    protocol::AgentAction action;
    std::optional<std::string> reply;  // the request's; none: it still waits
    Transcript transcript;
    std::string detail;
    bool suggestions = true;
  };
  const std::string asking = "Wants to run: npm test";
  // clang-format off
  const Case cases[] = {
      {"approve", true, true, true, action(AgentVerb::approve, "r1"), kAllow, {}, "Working"},
      {"always allow", true, true, true, action(AgentVerb::alwaysAllow, "r1"), kAllowKept, {}, "Working"},
      {"always allow without suggestions", true, true, true, action(AgentVerb::alwaysAllow, "r1"), kAllow, {}, "Working", false},
      {"deny", true, true, true, action(AgentVerb::deny, "r1"), kDeny, {}, "Working"},
      {"approve another agent's request", true, true, true, action(AgentVerb::approve, "r1", {}, "o"), {}, {}, asking},
      {"approve an id that does not wait", true, true, true, action(AgentVerb::approve, "r9"), {}, {}, asking},
      {"jump with a request", true, true, false, action(AgentVerb::jump), "{}", {"jump pts/3"}, "Waiting in the terminal"},
      {"jump without terminal", false, false, true, action(AgentVerb::jump), {}, {}, "Ready"},
      {"stop with a request", true, true, true, action(AgentVerb::stop), kStop, {}, "Stopped"},
      {"stop", false, true, true, action(AgentVerb::stop), {}, {"jump pts/3", "key escape"}, "Ready"},
      {"stop, terminal not found", false, true, false, action(AgentVerb::stop), {}, {"jump pts/3"}, "Ready"},
      {"stop without terminal", false, false, true, action(AgentVerb::stop), {}, {}, "Ready"},
      {"reply", false, true, true, action(AgentVerb::reply, {}, "yes"), {}, {"jump pts/3", "type yes", "key return"}, "Ready"},
      {"reply, terminal not found", false, true, false, action(AgentVerb::reply, {}, "yes"), {}, {"jump pts/3"}, "Ready"},
      {"reply with a request", true, true, true, action(AgentVerb::reply, {}, "yes"), {}, {}, asking},
      {"unknown agent", true, true, true, action(AgentVerb::stop, {}, {}, "nobody"), {}, {}, asking},
  };
  // clang-format on
  for (const auto& c : cases) {
    HubHarness h;
    h.jumper->answer = c.jumps;
    h.post(hookBody("SessionStart", "", "o"));
    h.post(hookBody("SessionStart"),
           c.terminal ? TerminalLocation{"", "pts/3", "", ""} : TerminalLocation{});
    std::optional<Hook> hook;
    if (c.waiting) hook = h.post(bashRequest(c.suggestions));
    h.act(c.action);
    if (hook) {
      EXPECT_EQ(*hook->reply, c.reply) << c.name;
    }
    EXPECT_EQ(h.transcript, c.transcript) << c.name;
    EXPECT_EQ(h.card("s")->detail, c.detail) << c.name;
    // No Stop event follows an interrupted turn.
    if (c.reply == kStop) {
      EXPECT_EQ(h.card("s")->state, AgentState::done) << c.name;
    }
    EXPECT_EQ(h.card("s")->request.has_value(), c.waiting && !c.reply) << c.name;
    if (c.reply && *c.reply != "{}") {
      const auto kind = c.reply->find("allow") != std::string::npos ? "approved You approved it;"
                                                                    : "denied You denied it;";
      EXPECT_TRUE(look(*h.card("s")).ends_with(kind)) << c.name;
    }
  }
}

TEST(AgentHub, RequestsWaitForThePhoneOrTheirTime) {
  HubHarness h;
  h.post(hookBody("SessionStart"));
  auto first = h.post(bashRequest());
  ASSERT_FALSE(first.answered());
  const auto* card = h.card("s");
  EXPECT_EQ(look(*card), "needsYou|Wants to run: npm test|2|notice Wants to run: npm test;");
  EXPECT_EQ(card->request, (protocol::AgentRequest{"r1", "Bash", "npm test", true}));
  // The agent's own prompt for the same permission leaves the card alone.
  h.post(hookBody("Notification", R"("notification_type":"permission_prompt")"));
  EXPECT_EQ(h.card("s")->request->id, "r1");
  brindlet::testing::runFor(h.io, *h.clock, 239s);
  EXPECT_FALSE(first.answered());
  brindlet::testing::runFor(h.io, *h.clock, 1s);
  EXPECT_EQ(*first.reply, "{}");
  EXPECT_EQ(look(*h.card("s")), "working|Waiting in the terminal|3|notice Wants to run: npm test;");

  // Across phone sessions the ids go on; a second request of a session ends the first, which
  // was answered in the terminal, and an answer for the first changes nothing.
  h.phone = false;
  h.phone = true;
  auto second = h.post(hookBody("PermissionRequest",
                                R"("tool_name":"Edit","tool_input":{"file_path":"/src/a.swift"})"));
  auto third = h.post(bashRequest(false));
  EXPECT_EQ(*second.reply, "{}");
  EXPECT_EQ(h.card("s")->request, (protocol::AgentRequest{"r3", "Bash", "npm test", false}));
  h.act(action(AgentVerb::approve, "r2"));
  EXPECT_EQ(h.card("s")->request->id, "r3");
  EXPECT_EQ(h.card("s")->detail, "Wants to run: npm test");
  h.act(action(AgentVerb::deny, "r3"));
  EXPECT_EQ(*third.reply, kDeny);
  EXPECT_EQ(h.clock->sleeperCount(), 0u);  // answered requests leave nothing sleeping
  EXPECT_EQ(h.hub->pendingCount(), 0u);

  // Late answers change nothing.
  const auto boards = h.boards.size();
  const auto after = *h.card("s");
  h.act(action(AgentVerb::approve, "r3"));
  h.act(action(AgentVerb::approve, "r1"));
  EXPECT_EQ(h.boards.size(), boards);
  EXPECT_EQ(*h.card("s"), after);

  auto edit = h.post(hookBody("PermissionRequest",
                              R"("tool_name":"Edit","tool_input":{"file_path":"/src/a.swift"})"));
  EXPECT_EQ(h.card("s")->detail, "Wants to use Edit: a.swift");
  EXPECT_EQ(h.card("s")->request->summary, "a.swift");
  h.post(hookBody("PreToolUse", R"("tool_name":"Bash")"), TerminalLocation{"ghostty", "", "", ""});
  EXPECT_EQ(h.card("s")->detail, "Wants to use Edit: a.swift");
  EXPECT_TRUE(h.card("s")->canJump);
  EXPECT_EQ(h.boards.size(), boards + 2);
}

TEST(AgentHub, AHookThatGoesAwayEndsItsRequestAtOnce) {
  HubHarness h;
  auto gone = h.post(bashRequest());
  gone.task.cancel();
  brindlet::testing::drain(h.io);
  EXPECT_EQ(*gone.reply, "{}");
  EXPECT_EQ(h.card("s")->detail, "Waiting in the terminal");
  EXPECT_EQ(h.clock->sleeperCount(), 0u);
  const auto boards = h.boards.size();
  h.act(action(AgentVerb::approve, "r1"));
  EXPECT_EQ(h.boards.size(), boards);

  // An ended session's request ends with it; a hub that goes answers what still waits.
  auto ended = h.post(bashRequest());
  h.post(hookBody("SessionEnd"));
  EXPECT_EQ(*ended.reply, "{}");
  EXPECT_EQ(h.card("s"), nullptr);
  EXPECT_EQ(h.clock->sleeperCount(), 0u);
  auto orphan = h.post(bashRequest());
  h.hub.reset();
  brindlet::testing::drain(h.io);
  EXPECT_EQ(*orphan.reply, "{}");
}

// Answered in the terminal, a request's hook still runs until the session moves on: the
// session's next step ends it, and nothing else does.
TEST(AgentHub, TheSessionsNextStepEndsItsRequest) {
  struct Case {
    std::string event;
    bool ends;
    std::string detail;     // the card's afterwards
    bool subagent = false;  // the request is a subagent's
  };
  const std::string asking = "Wants to run: npm test";
  const Case cases[] = {
      {hookBody("PostToolUse"), true, "Working"},
      {hookBody("PostToolUseFailure"), true, "Working"},
      {hookBody("UserPromptSubmit", quoted("prompt", "next")), true, "next"},
      {hookBody("Stop"), true, "Finished"},
      {hookBody("PermissionRequest", R"("tool_name":"Read")"), true, "Wants to use Read: a file"},
      {hookBody("PreToolUse", R"("tool_name":"Bash")"), false, asking},
      {hookBody("Notification", R"("notification_type":"permission_prompt")"), false, asking},
      {hookBody("SessionStart"), false, "Ready"},
      {hookBody("StopFailure"), false, "Stopped with an error"},
      {hookBody("PostToolUse", "", "o"), false, asking},
      {hookBody("Stop", "", "o"), false, asking},
      // A subagent's steps end only its own requests; the turn's end ends them all.
      {hookBody("PostToolUse", R"("agent_id":"a1")"), false, asking},
      {hookBody("PostToolUse"), false, asking, true},
      {hookBody("PermissionRequest", R"("agent_id":"a1","tool_name":"Read")"), false,
       "Wants to use Read: a file"},
      {hookBody("PostToolUse", R"("agent_id":"a2")"), true, "Working", true},
      {hookBody("PermissionRequest", R"("agent_id":"a2","tool_name":"Read")"), true,
       "Wants to use Read: a file", true},
      {hookBody("Stop"), true, "Finished", true},
  };
  for (const auto& c : cases) {
    HubHarness h;
    auto hook =
        h.post(c.subagent ? hookBody("PermissionRequest", R"("agent_id":"a2","tool_name":"Bash",)"
                                                          R"("tool_input":{"command":"npm test"})")
                          : bashRequest());
    const auto boards = h.boards.size();
    h.post(c.event);
    EXPECT_EQ(hook.answered(), c.ends) << c.event;
    if (c.ends) {
      EXPECT_EQ(*hook.reply, "{}") << c.event;
      // The request's end and then the step itself.
      EXPECT_EQ(h.boards.size(), boards + 2) << c.event;
      EXPECT_EQ(h.hub->pendingCount(), c.event.find("PermissionRequest") != std::string::npos)
          << c.event;
    }
    EXPECT_EQ(h.card("s")->detail, c.detail) << c.event;
    EXPECT_EQ(look(*h.card("s")).find("You "), std::string::npos) << c.event;
    h.act(action(AgentVerb::approve, "r1"));
    if (c.ends) {
      EXPECT_EQ(*hook.reply, "{}") << c.event;
    }
  }
}

// A question only the user can answer goes back to the terminal at once, and the card says so.
TEST(AgentHub, AQuestionForTheUserIsAskedInTheTerminal) {
  struct Case {
    std::string input;
    std::string detail;
  };
  const Case cases[] = {
      {R"({"questions":[{"question":"Which colour?\nmore","options":[]},{"question":"b"}]})",
       "Asks in the terminal: Which colour?"},
      {R"({"questions":[{"question":")" + repeat("q", 200) + R"("}]})",
       "Asks in the terminal: " + repeat("q", 97) + "\u2026"},
      {R"({"questions":[]})", "Asks in the terminal"},
      {R"({"questions":[7]})", "Asks in the terminal"},
      {"[]", "Asks in the terminal"},
  };
  for (const auto& c : cases) {
    HubHarness h;
    h.post(hookBody("SessionStart"), TerminalLocation{"", "pts/3", "", ""});
    auto hook = h.post(
        hookBody("PermissionRequest", R"("tool_name":"AskUserQuestion","tool_input":)" + c.input));
    ASSERT_TRUE(hook.answered()) << c.input;
    EXPECT_EQ(*hook.reply, "{}");
    const auto* card = h.card("s");
    EXPECT_EQ(look(*card), "needsYou|" + c.detail + "|2|notice " + c.detail + ";") << c.input;
    EXPECT_FALSE(card->request.has_value());
    EXPECT_TRUE(card->canJump);
    EXPECT_EQ(h.hub->nextRequest(), 1u);
    // The agent's own prompt for it keeps the question on the card.
    h.post(hookBody("Notification", R"("notification_type":"permission_prompt")"));
    EXPECT_EQ(h.card("s")->detail, c.detail);
    h.post(hookBody("PostToolUse", R"("tool_name":"AskUserQuestion")"));
    EXPECT_EQ(h.card("s")->state, AgentState::working);
  }
  // Without a phone nothing changes.
  HubHarness h;
  h.phone = false;
  EXPECT_EQ(*h.post(hookBody("PermissionRequest", R"("tool_name":"AskUserQuestion")")).reply, "{}");
  EXPECT_EQ(h.card("s"), nullptr);
}

}  // namespace
}  // namespace brindlet::agents
