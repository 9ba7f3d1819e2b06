// The app at the descriptor limit a desktop session gives, under a flood of local connections to
// its hook server that come back the moment they are closed, idle or with a head and a slow body:
// its own work keeps its descriptors (a deck key runs, a saved profile reaches the phone,
// discovery goes on) and the agents' hooks, sent whole, are all answered.

#include <signal.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "app/e2e/AppHarness.h"
#include "support/Eventually.h"
#include "support/SlowClients.h"
#include "support/TempDir.h"

namespace brindlet::app::testing {
namespace {

using namespace std::chrono_literals;

// A deck for terminals of the class "Keys" whose one key notes in `run` that it ran; `label`
// tells one saved version from another.
std::string noteProfile(const testsupport::TempDir& run, const std::string& label) {
  return R"({"schema":1,"id":"com.test.Keys","name":"Keys","apps":["Keys"],)"
         R"("layouts":{"compact":["note"],"regular":["note"]},"keys":{"note":{"label":")" +
         label + R"(","symbol":"s","action":{"kind":"shell","command":"echo ran >> )" +
         run.file("ran") + R"("}}}})";
}

const std::string kHeadOnly = "POST /hook HTTP/1.1\r\nContent-Length: 100000\r\n\r\n";

// The soft limit on open files of a process, as /proc shows it.
std::string softFileLimit(pid_t pid) {
  std::istringstream limits(testsupport::readFile("/proc/" + std::to_string(pid) + "/limits"));
  for (std::string line; std::getline(limits, line);) {
    if (!line.starts_with("Max open files")) continue;
    std::istringstream words(line.substr(std::string("Max open files").size()));
    std::string soft;
    words >> soft;
    return soft;
  }
  return "";
}

TEST_F(AppPeer, AFloodOfIdleConnectionsLeavesTheAppItsDescriptorsAndTheHooksAnswered) {
  const struct {
    const char* name;
    std::size_t connections;
    std::string soft, hard;
    bool deck;                  // whether a key is pressed and a profile saved during the flood
    std::string opening = "P";  // what each connection sends first, then a byte a second
  } rows[] = {
      {"1000 at a limit of 1024", 1000, "1024", "1024", true},
      {"1100 at a limit of 1024", 1100, "1024", "1024", false},
      {"1100 at a soft limit of 1024 below a hard one", 1100, "1024", "4096", true},
      // A whole head without the token, then a slow body: a head once come kept its place.
      {"1100 heads at a limit of 1024", 1100, "1024", "1024", false, kHeadOnly},
      {"1100 heads at a limit of 20000", 1100, "20000", "20000", false, kHeadOnly},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    testsupport::TempDir run;
    auto& brindlet = deckInFront(run, noteProfile(run, "Before"),
                                 {"prlimit", "--nofile=" + row.soft + ":" + row.hard});
    // The app takes what the hard limit allows.
    EXPECT_EQ(softFileLimit(brindlet.pid()), row.hard);
    const auto port = hookPort();
    ASSERT_NE(port, 0) << brindlet.output();
    {
      testsupport::SlowClients flood(port, row.connections, row.opening);
      std::this_thread::sleep_for(1500ms);
      const auto [answered, sent] = curlHooks(port, 35);
      const int late = laggingHooks(port, 35);
      std::printf(
          "%s, beside %zu connections that come back at once (%zu made): answered %d/35 "
          "sent by curl, %d/35 sent 150 ms after their connection\n",
          row.name, row.connections, flood.connections(), answered, late);
      EXPECT_EQ(answered, 35) << sent;
      EXPECT_EQ(late, 35);
      if (row.deck) {
        press("note");
        EXPECT_TRUE(testsupport::eventually(
            [&] { return testsupport::readFile(run.file("ran")) == "ran\n"; }, 10s, 50ms))
            << brindlet.output();
        const int shown = profilesShown();
        std::ofstream(data() / "Brindlet/Profiles/Keys.json") << noteProfile(run, "After");
        EXPECT_TRUE(testsupport::eventually(
            [&] {
              return profilesShown() > shown &&
                     phone_->output().rfind("\"label\":\"After\"") != std::string::npos;
            },
            10s, 20ms))
            << brindlet.output();
      }
      EXPECT_FALSE(testsupport::processGone(brindlet.pid())) << brindlet.output();
    }
    // Discovery goes on, and the app's work never ran short.
    std::this_thread::sleep_for(3s);
    ::kill(brindlet.pid(), SIGTERM);
    EXPECT_EQ(brindlet.waitExit(5s), 0) << brindlet.output();
    const std::string& output = brindlet.output();
    EXPECT_EQ(count(output, "Task failed"), 0) << output;
    EXPECT_EQ(count(output, "Too many open files"), 0) << output;
    for (auto& child : children_) child->stop();
    children_.clear();
  }
}

}  // namespace
}  // namespace brindlet::app::testing
