// The real agent hook under dash, with curl, against a hook server on a loop thread: as a coding
// agent runs it, inside a private tmux, and next to a busy or stopped server.

#include <thread>

#include <gtest/gtest.h>

#include "HookHarness.h"
#include "agents/HookScript.h"
#include "agents/HookServer.h"
#include "runtime/Files.h"
#include "runtime/LoopThread.h"
#include "runtime/MainLoop.h"
#include "support/ChildProcess.h"
#include "support/Loop.h"
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
    return brindlet::testing::onLoop(loop, std::move(f));
  }

  runtime::MainLoop loop;
  testsupport::TempDir dir;
  std::filesystem::path folder = std::filesystem::path(dir.path()) / "com.velvane.mac" / "agents";
  std::filesystem::path script = folder / "agent-hook";
  std::string token = makeHookToken();
  std::shared_ptr<HookServer> server;
  std::uint16_t port = 0;
  std::unique_ptr<runtime::LoopThread> thread;

  ScriptHarness() {
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

  bool waitForEvents(std::size_t count) {
    for (int i = 0; i < 1000 && events().size() < count; ++i) std::this_thread::sleep_for(10ms);
    return events().size() >= count;
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

TEST(HookScript, StaysQuietWithoutAServerAndPrintsTheRefusalOfAWrongToken) {
  ScriptHarness h;
  const DiscoveryFile wrong{h.folder, h.port, "00000000-0000-4000-8000-000000000000"};
  runtime::writeFileAtomically(wrong.headersPath(), wrong.headersText());
  EXPECT_EQ(h.run({}).output, "{}");
  EXPECT_TRUE(h.events().empty());

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

TEST(HookScript, ReportsThePaneAndTerminalInsidePrivateTmux) {
  ScriptHarness h;
  h.hold = true;
  const auto socket = h.dir.file("tmux.sock");
  const auto fixture = h.dir.file("fixture.json");
  h.dir.write("fixture.json", kFixture);
  const auto tmux = [&](std::vector<std::string> args) {
    args.insert(args.begin(), {"env", "-u", "TMUX", "tmux", "-f", "/dev/null", "-S", socket});
    return testsupport::runProgram(args);
  };
  ASSERT_EQ(tmux({"new-session", "-d", "-x", "80", "-y", "24",
                  "sh -c \"'" + h.script.string() + "' claude\" < " + fixture})
                .status,
            0);
  ASSERT_TRUE(h.waitForEvents(1));
  const auto pane = tmux({"display-message", "-p", "#{pane_tty} #{pane_id}"}).output;
  tmux({"kill-server"});
  const auto event = h.events()[0];
  EXPECT_EQ("/dev/" + event.terminal.tty + " " + event.terminal.tmuxPane + "\n", pane);
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

}  // namespace
}  // namespace brindlet::agents::testing
