// The whole path of an agent's permission request: the agent hook under dash with curl, the hook
// server, the hub, and a real link to the scripted phone program, wired as the host session
// wires them. The phone prints the board and answers on its standard input. Also the command the
// installer writes, run from a home whose name holds a quote and a blank.

#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <sstream>
#include <thread>

#include <gtest/gtest.h>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/use_future.hpp>

#include "LinkHarness.h"
#include "agents/ClaudeHooks.h"
#include "agents/HookScript.h"
#include "runtime/Files.h"

namespace brindlet::agents::testing {
namespace {

namespace asio = boost::asio;
using namespace std::chrono_literals;

const std::string kSuggestions =
    R"([{"type":"addRules","rules":[{"toolName":"Bash","ruleContent":"npm test"}],"destination":"localSettings","behavior":"allow"}])";
// The command's quotes and accent reach the hub as they left the agent.
const std::string kRequest =
    R"({"session_id":"5a1","hook_event_name":"PermissionRequest","tool_name":"Bash",)"
    R"("tool_input":{"command":"ls -la 'caf\u00e9' \"$HOME\""},"permission_suggestions":)" +
    kSuggestions + "}\n";

// Every process: its id and its command line, arguments separated by NULs.
std::vector<std::pair<pid_t, std::string>> processes() {
  std::vector<std::pair<pid_t, std::string>> all;
  DIR* proc = ::opendir("/proc");
  while (auto* entry = ::readdir(proc)) {
    std::ifstream in(std::string("/proc/") + entry->d_name + "/cmdline", std::ios::binary);
    all.emplace_back(std::atoi(entry->d_name), std::string(std::istreambuf_iterator<char>(in), {}));
  }
  ::closedir(proc);
  return all;
}

TEST(AgentLink, ThePhoneAnswersPermissionRequests) {
  LinkHarness h;
  ASSERT_TRUE(h.phone.waitFor("\nconnected(Computer, USB)\n", 10s)) << h.phone.output();
  ASSERT_TRUE(h.phone.waitFor(R"(received {"agents":[],"id":)", 10s)) << h.phone.output();
  struct Case {
    const char* verb;
    std::string reply;
  };
  const Case cases[] = {
      {"approve",
       R"({"hookSpecificOutput":{"decision":{"behavior":"allow"},"hookEventName":"PermissionRequest"}})"},
      {"alwaysAllow",
       R"({"hookSpecificOutput":{"decision":{"behavior":"allow","updatedPermissions":[{"behavior":"allow","destination":"localSettings","rules":[{"ruleContent":"npm test","toolName":"Bash"}],"type":"addRules"}]},"hookEventName":"PermissionRequest"}})"},
      {"deny",
       R"({"hookSpecificOutput":{"decision":{"behavior":"deny","message":"Denied from Brindlet."},"hookEventName":"PermissionRequest"}})"},
      {"stop",
       R"({"hookSpecificOutput":{"decision":{"behavior":"deny","interrupt":true,"message":"Stopped from Brindlet."},"hookEventName":"PermissionRequest"}})"},
  };
  int id = 0;
  for (const auto& c : cases) {
    const auto request = "r" + std::to_string(++id);
    auto script = h.runScript(kRequest);
    ASSERT_TRUE(h.phone.waitFor(R"("id":")" + request + "\"", 10s)) << h.phone.output();
    EXPECT_TRUE(h.phone.waitFor(R"("detail":"Wants to run: ls -la 'café' \"$HOME\"")", 1s));
    EXPECT_TRUE(h.phone.waitFor(R"("state":"needsYou")", 1s));
    EXPECT_FALSE(script->waitExit(0ms).has_value());
    h.phone.write(R"(send {"id":)" + std::to_string(id) +
                  R"(,"t":"agentAction","agent":"5a1","verb":")" + c.verb + R"(","request":")" +
                  request + "\"}\n");
    EXPECT_EQ(LinkHarness::finish(*script), c.reply) << c.verb;
  }

  // Curl killed mid-wait: the card says so at once, and the token never shows on a command line.
  auto script = h.runScript(kRequest);
  ASSERT_TRUE(h.phone.waitFor(R"("id":"r5")", 10s)) << h.phone.output();
  pid_t curl = -1;
  const auto token = h.onLoop([&h] { return h.server->token(); });
  for (const auto& [pid, line] : processes()) {
    EXPECT_EQ(line.find(token), std::string::npos) << line;
    if (pid > 0 && ::getpgid(pid) == script->pid() && line.starts_with("/usr/bin/curl")) curl = pid;
  }
  ASSERT_GT(curl, 0);
  const auto killed = std::chrono::steady_clock::now();
  ::kill(curl, SIGKILL);
  ASSERT_TRUE(h.phone.waitFor("Waiting in the terminal", 10s)) << h.phone.output();
  EXPECT_LT(std::chrono::steady_clock::now() - killed, 2s);
  // Only the shell's word about its killed child: no decision.
  EXPECT_EQ(LinkHarness::finish(*script).find('{'), std::string::npos);

  // Without a link a request is sent back to the terminal at once.
  h.phone.write("close\n");
  for (int i = 0; i < 500 && h.onLoop([&h] { return h.linked; }); ++i) {
    std::this_thread::sleep_for(10ms);
  }
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(LinkHarness::finish(*h.runScript(kRequest)), "{}");
  EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
  EXPECT_EQ(h.onLoop([&h] { return h.hub->nextRequest(); }), 6u);
}

TEST(AgentLink, TheScriptReportsVendorAndTerminal) {
  struct Case {
    std::vector<std::string> env;
    std::string vendor;
    TerminalLocation terminal;
  };
  const Case cases[] = {
      {{"TERM_PROGRAM=ghostty", "TMUX_PANE=%7", "TERM_SESSION_ID=w0t1"},
       "claude",
       {"ghostty", "", "%7", "w0t1"}},
      {{"ITERM_SESSION_ID=it:1", "TERM_SESSION_ID=w0t1", "TERM_PROGRAM=x"},
       "codex",
       {"x", "", "", "it:1"}},
  };
  LinkHarness h;
  const auto start = [](const std::string& session) {
    return R"({"session_id":")" + session + R"(","hook_event_name":"SessionStart"})";
  };
  const auto seen = [&h](const std::string& session) {
    return h.onLoop([&] {
      std::optional<std::pair<std::string, TerminalLocation>> card;
      const auto found = h.hub->agents().find(session);
      if (found == h.hub->agents().end()) return card;
      const auto where = h.hub->terminals().find(session);
      card.emplace(found->second.vendor,
                   where == h.hub->terminals().end() ? TerminalLocation{} : where->second);
      return card;
    });
  };
  // The script's own shell has none: the terminal is that of the nearest ancestor with one,
  // this test's when it runs in a terminal, else none (ps's "?").
  auto ours =
      testsupport::runProgram({"ps", "-o", "tty=", "-p", std::to_string(::getpid())}).output;
  std::erase_if(ours, [](char c) { return c == ' ' || c == '\n' || c == '?'; });
  int n = 0;
  for (auto c : cases) {
    const auto session = "e" + std::to_string(++n);
    EXPECT_EQ(LinkHarness::finish(*h.runScript(start(session), c.env, c.vendor)), "{}");
    c.terminal.tty = ours;
    EXPECT_EQ(seen(session), std::pair(c.vendor, c.terminal));
  }

  // Inside a private tmux: its pane and the pane's terminal, also for a hook run in a session of
  // its own, as the agent runs them.
  h.dir.write("start.json", start("tmux"));
  h.dir.write("start-setsid.json", start("tmux-setsid"));
  const auto tmux = [&](std::vector<std::string> args) {
    args.insert(args.begin(),
                {"env", "-u", "TMUX", "tmux", "-f", "/dev/null", "-S", h.dir.file("tmux.sock")});
    return testsupport::runProgram(args);
  };
  ASSERT_EQ(tmux({"new-session", "-d", "-x", "80", "-y", "24",
                  "sh -c \"'" + h.script.string() + "' claude\" < " + h.dir.file("start.json") +
                      "; setsid -w sh -c \"'" + h.script.string() + "' claude\" < " +
                      h.dir.file("start-setsid.json") + "; sleep 60"})
                .status,
            0);
  for (int i = 0; i < 500 && !seen("tmux-setsid"); ++i) std::this_thread::sleep_for(10ms);
  const auto pane = tmux({"display-message", "-p", "#{pane_tty} #{pane_id}"}).output;
  tmux({"kill-server"});
  for (const auto* session : {"tmux", "tmux-setsid"}) {
    const auto terminal = seen(session).value().second;
    EXPECT_EQ("/dev/" + terminal.tty + " " + terminal.tmuxPane + "\n", pane) << session;
  }

  // A wrong token: the script prints the refusal and the hub hears nothing.
  const auto port = h.onLoop([&h] { return h.server->port().value(); });
  const DiscoveryFile wrong{h.folder, port, "00000000-0000-4000-8000-000000000000"};
  runtime::writeFileAtomically(wrong.headersPath(), wrong.headersText());
  EXPECT_EQ(LinkHarness::finish(*h.runScript(start("wrong"))), "{}");
  EXPECT_EQ(seen("wrong"), std::nullopt);

  // The app gone: without its files the script answers no decision; with files left behind
  // nobody answers and the script stays quiet.
  const auto stale = DiscoveryFile{h.folder, 1, "stale"};
  h.onLoop([&h] { h.server->stop(); });
  EXPECT_EQ(LinkHarness::finish(*h.runScript(kRequest)), "{}");
  stale.write();
  EXPECT_EQ(LinkHarness::finish(*h.runScript(kRequest)), "");
}

// The discovery files can go while the script reads them (the app quits). Without a port curl
// would post the event and the token to port 80, and print whatever answers there as the
// decision: a listener on port 80 of another loopback address stands in for whatever holds it.
TEST(AgentLink, WithoutAPortOrATokenTheScriptSendsNothing) {
  const std::string host = "127.83.0.1";
  const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(80);
  ::inet_pton(AF_INET, host.c_str(), &address.sin_addr);
  ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0)
      << std::strerror(errno);
  ASSERT_EQ(::listen(listener, 16), 0);

  testsupport::TempDir dir;
  const auto folder = std::filesystem::path(dir.path());
  const auto script = folder / "agent-hook";
  runtime::writeFileAtomically(script, hookScriptFor(host), 0755);
  const DiscoveryFile files{folder, 80, "0F8C2A5E-7B1D-4E3A-9C6F-2D8B1A0E5F47"};
  const struct {
    const char* name;
    std::optional<std::string> json;  // server.json, none: removed
    bool headers;                     // server.headers, with the token
  } cases[] = {
      {"no server.json", std::nullopt, true},
      {"server.json without a port", R"({"pid":1})", true},
      {"server.json cut short", R"({"port":)", true},
      {"no token", files.jsonText(), false},
  };
  for (const auto& c : cases) {
    std::filesystem::remove(files.jsonPath());
    std::filesystem::remove(files.headersPath());
    if (c.json) runtime::writeFileAtomically(files.jsonPath(), *c.json);
    if (c.headers) runtime::writeFileAtomically(files.headersPath(), files.headersText());
    testsupport::ChildProcess child(
        {"env", "-i", "PATH=/usr/bin:/bin", "dash", "-c", "'" + script.string() + "' claude"});
    child.write(kRequest);
    child.closeInput();
    EXPECT_EQ(LinkHarness::finish(child), "{}") << c.name;
    const int reached = ::accept(listener, nullptr, nullptr);
    EXPECT_LT(reached, 0) << c.name << ": the event went to port 80";
    if (reached >= 0) ::close(reached);
  }
  ::close(listener);
}

TEST(AgentLink, TheInstalledCommandReachesTheHubFromAHomeWithAQuoteAndABlank) {
  LinkHarness h("o'brien home/.local/share");
  const auto home = std::filesystem::path(h.dir.path()) / "o'brien home";
  // The default places under that home.
  const std::string savedHome = std::getenv("HOME") ? std::getenv("HOME") : "/";
  ::setenv("HOME", home.c_str(), 1);
  ::unsetenv("XDG_DATA_HOME");
  const ClaudeHooks hooks;
  ::setenv("HOME", savedHome.c_str(), 1);
  EXPECT_EQ(hooks.settingsFile, home / ".claude" / "settings.json");
  EXPECT_EQ(hooks.script, h.script);
  hooks.install();
  auto command =
      testsupport::runProgram({"jq", "-r", "-c", ".hooks.SessionStart[0].hooks[0].command",
                               hooks.settingsFile.string()})
          .output;
  command.pop_back();  // jq's newline
  testsupport::ChildProcess child(
      {"env", "-i", "PATH=/usr/bin:/bin", "HOME=" + home.string(), "sh", "-c", command});
  child.write(R"({"session_id":"q","hook_event_name":"SessionStart"})");
  child.closeInput();
  EXPECT_EQ(LinkHarness::finish(child), "{}") << command;
  EXPECT_EQ(h.onLoop([&h] { return h.hub->agents().at("q").vendor; }), "claude");
}

}  // namespace
}  // namespace brindlet::agents::testing
