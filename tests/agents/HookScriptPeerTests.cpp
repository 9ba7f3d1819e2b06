// The real agent hook under dash, with curl, against a hook server on a loop thread: as a coding
// agent runs it, inside a private tmux, and next to a busy or stopped server.

#include <dirent.h>
#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <atomic>
#include <fstream>
#include <future>
#include <iterator>
#include <mutex>
#include <thread>

#include <gtest/gtest.h>
#include <boost/asio/post.hpp>

#include "HookHarness.h"
#include "agents/ClaudeHooks.h"
#include "agents/HookRequest.h"
#include "agents/HookScript.h"
#include "agents/HookServer.h"
#include "runtime/Files.h"
#include "runtime/LoopThread.h"
#include "runtime/MainLoop.h"
#include "runtime/OneShot.h"
#include "support/ChildProcess.h"
#include "support/LoopbackClient.h"
#include "support/TempDir.h"

namespace brindlet::agents::testing {
namespace {

using namespace std::chrono_literals;

const std::string kFixture =
    "{\"session_id\":\"5a1\",\"hook_event_name\":\"PermissionRequest\",\"tool_name\":\"Bash\","
    "\"tool_input\":{\"command\":\"ls -la 'caf\xc3\xa9' \\\"$HOME\\\"\"}}\n";
const std::string kReply = "{\"hookSpecificOutput\":{\"decision\":{\"behavior\":\"allow\"}}}";

struct ScriptRun {
  std::optional<int> status;
  std::string output;
};

struct ScriptHarness : RecordingHandler {
  template <class F>
  auto onLoop(F f) -> decltype(f()) {
    std::packaged_task<decltype(f())()> task(std::move(f));
    auto result = task.get_future();
    asio::post(loop.context(), [&task] { task(); });
    return result.get();
  }

  runtime::MainLoop loop;
  testsupport::TempDir dir;
  std::filesystem::path folder;
  std::filesystem::path script;
  std::string token = makeHookToken();
  std::shared_ptr<HookServer> server;
  std::uint16_t port = 0;
  std::unique_ptr<runtime::LoopThread> thread;

  // The agents folder in a data folder under the temporary one.
  explicit ScriptHarness(const std::string& data = ".")
      : folder(std::filesystem::path(dir.path()) / data / "com.velvane.mac" / "agents"),
        script(folder / "agent-hook") {
    reply = kReply;
    writeHookScript(script);
    thread = std::make_unique<runtime::LoopThread>(loop);
    onLoop([this] {
      server = HookServer::make(loop.context().get_executor(), token, handler(),
                                {nullptr, folder, nullptr});
      server->start();
    });
    for (int i = 0; i < 500 && !std::filesystem::exists(folder / "server.json"); ++i) {
      std::this_thread::sleep_for(10ms);
    }
    port = onLoop([this] { return server->port().value_or(0); });
  }

  ~ScriptHarness() {
    // Cancelled connections end on the loop: let them before the loop stops.
    onLoop([this] { server->stop(); });
    for (int i = 0; i < 500 && onLoop([this] { return server->connectionCount(); }) > 0; ++i) {
      std::this_thread::sleep_for(5ms);
    }
    onLoop([this] { server.reset(); });
    thread->stop();
  }

  // The events so far, read on the server's loop.
  std::vector<HookEvent> recorded() {
    return onLoop([this] { return events; });
  }

  bool waitForEvents(std::size_t count) {
    for (int i = 0; i < 1000 && recorded().size() < count; ++i) std::this_thread::sleep_for(10ms);
    return recorded().size() >= count;
  }

  // The command a coding agent runs, in a clean environment plus `env`.
  std::vector<std::string> command(const std::vector<std::string>& env,
                                   const std::string& vendor = "claude") {
    std::vector<std::string> argv{"env", "-i", "PATH=/usr/bin:/bin", "HOME=" + dir.path()};
    argv.insert(argv.end(), env.begin(), env.end());
    argv.insert(argv.end(), {"sh", "-c", "'" + script.string() + "' " + vendor});
    return argv;
  }

  ScriptRun run(const std::vector<std::string>& env, const std::string& vendor = "claude") {
    testsupport::ChildProcess child(command(env, vendor));
    child.write(kFixture);
    child.closeInput();
    ScriptRun result{child.waitExit(20s), {}};
    child.waitFor("\x01 (read to the end)", 200ms);
    result.output = child.output();
    return result;
  }
};

TEST(HookScript, HasItsPinnedBytesAndMode) {
  ScriptHarness h;
  std::ifstream in(h.script, std::ios::binary);
  const std::string written{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  const std::string expected =
      "#!/bin/sh\n"
      "# Brindlet agent hook: forwards this agent event to the Brindlet app, if it's running.\n"
      "CONF=\"${0%/*}/server.json\"\n"
      "[ -f \"$CONF\" ] || { cat >/dev/null; exit 0; }\n"
      "PORT=$(/usr/bin/sed -n 's/.*\"port\":\\([0-9]*\\).*/\\1/p' \"$CONF\")\n"
      "TTY=$(/bin/ps -o tty= -p \"$PPID\" 2>/dev/null | /usr/bin/tr -d ' ')\n"
      "OUT=$(/usr/bin/curl -s --max-time 590 -X POST "
      "\"http://127.0.0.1:$PORT/hook?vendor=${1:-claude}\" \\\n"
      "  -H \"Content-Type: application/json\" -H @\"${0%/*}/server.headers\" \\\n"
      "  -H \"X-Term: ${TERM_PROGRAM:-}\" -H \"X-TTY: $TTY\" -H \"X-Tmux-Pane: ${TMUX_PANE:-}\" "
      "\\\n"
      "  -H \"X-Term-Session: ${ITERM_SESSION_ID:-${TERM_SESSION_ID:-}}\" --data-binary @- "
      "2>/dev/null)\n"
      "[ -n \"$OUT\" ] && printf '%s' \"$OUT\"\n"
      "exit 0";
  EXPECT_EQ(written, expected);
  EXPECT_EQ(std::filesystem::status(h.script).permissions(), std::filesystem::perms(0755));
}

TEST(HookScript, StaysQuietWithoutAServerAndPrintsTheRefusalOfAWrongToken) {
  ScriptHarness h;
  const DiscoveryFile wrong{h.folder, h.port, "00000000-0000-4000-8000-000000000000"};
  runtime::writeFileAtomically(wrong.headersPath(), wrong.headersText());
  EXPECT_EQ(h.run({}).output, "{}");
  EXPECT_TRUE(h.recorded().empty());

  const auto stale = DiscoveryFile{h.folder, h.port, h.token}.jsonText();
  h.onLoop([&h] { h.server->stop(); });
  EXPECT_FALSE(std::filesystem::exists(h.folder / "server.json"));
  for (const bool staleFile : {false, true}) {
    if (staleFile) runtime::writeFileAtomically(h.folder / "server.json", stale);
    const auto result = h.run({});
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.output, "");
  }
}

TEST(HookScript, TheInstalledCommandReachesTheServerFromAHomeWithAQuoteAndABlank) {
  ScriptHarness h("o'brien home/.local/share");
  const auto home = std::filesystem::path(h.dir.path()) / "o'brien home";
  // The default places under that home.
  const std::string savedHome = std::getenv("HOME") ? std::getenv("HOME") : "/";
  ::setenv("HOME", home.c_str(), 1);
  ::unsetenv("XDG_DATA_HOME");
  const ClaudeHooks hooks;
  ::setenv("HOME", savedHome.c_str(), 1);
  EXPECT_EQ(hooks.settingsFile, home / ".claude" / "settings.json");
  EXPECT_EQ(hooks.script, home / ".local/share/com.velvane.mac/agents/agent-hook");
  hooks.install();
  const auto jq = [&](const std::string& filter) {
    return testsupport::runProgram({"jq", "-r", "-c", filter, hooks.settingsFile.string()});
  };
  const auto limits = jq(".hooks | map_values(.[-1].hooks[0] | [.timeout, .async])");
  EXPECT_EQ(limits.status, 0);
  EXPECT_EQ(limits.output,
            "{\"Notification\":[null,true],\"PermissionRequest\":[600,null],"
            "\"PreToolUse\":[null,true],\"SessionEnd\":[null,true],\"SessionStart\":[null,true],"
            "\"Stop\":[null,true],\"StopFailure\":[null,true],\"UserPromptSubmit\":[null,true]}\n");

  std::string command = jq(".hooks.PermissionRequest[0].hooks[0].command").output;
  command.pop_back();  // jq's newline
  testsupport::ChildProcess child(
      {"env", "-i", "PATH=/usr/bin:/bin", "HOME=" + home.string(), "sh", "-c", command});
  child.write(kFixture);
  child.closeInput();
  EXPECT_EQ(child.waitExit(20s), 0);
  EXPECT_TRUE(child.waitFor(kReply, 1s)) << command;
  ASSERT_EQ(h.recorded().size(), 1u);
  EXPECT_EQ(h.recorded()[0].vendor, "claude");
  EXPECT_EQ(h.recorded()[0].body, Bytes(kFixture.begin(), kFixture.end()));
}

TEST(HookScript, BusyServerClosesCurlAtOnceAndServesItOnceTheSilentOnesAreGone) {
  ScriptHarness h;
  std::vector<std::unique_ptr<testsupport::LoopbackClient>> silent;
  for (std::size_t i = 0; i < HookServer::maxReading; ++i) {
    silent.push_back(std::make_unique<testsupport::LoopbackClient>(h.port, [] {}));
  }
  while (h.onLoop([&h] { return h.server->readingCount(); }) < HookServer::maxReading) {
    std::this_thread::sleep_for(5ms);
  }
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(h.run({}).output, "");
  EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
  silent.clear();
  while (h.onLoop([&h] { return h.server->readingCount(); }) > 0) std::this_thread::sleep_for(5ms);
  EXPECT_EQ(h.run({}).output, kReply);
}

TEST(HookServer, CurlSeesTheExactReplyLines) {
  ScriptHarness h;
  const auto url = "http://127.0.0.1:" + std::to_string(h.port) + "/hook";
  const auto headers = "@" + (h.folder / "server.headers").string();
  const auto ok =
      testsupport::runProgram({"curl", "-s", "-i", "-H", headers, "--data-binary", "{}", url});
  EXPECT_EQ(ok.output, replyHead("200 OK", kReply.size()) + kReply);
  const auto refused = testsupport::runProgram({"curl", "-s", "-i", "--data-binary", "{}", url});
  EXPECT_EQ(refused.output,
            "HTTP/1.1 403 Forbidden\r\nContent-Type: application/json\r\nContent-Length: 2\r\n"
            "Connection: close\r\n\r\n{}");
}

}  // namespace
}  // namespace brindlet::agents::testing
