// The X server gone in the middle of a call: whichever request of the RandR backend finds the
// connection lost, the call ends in its own error or empty answer, never in a crash; and one
// server's loss is told once, however many connections find it.

#include <gtest/gtest.h>

#include <algorithm>
#include <boost/asio/io_context.hpp>

#include "XReplyCut.h"
#include "platform/linux/x11/RandrDisplayBackend.h"
#include "platform/linux/x11/X11Connection.h"
#include "runtime/Log.h"
#include "streaming/DisplayError.h"
#include "support/Loop.h"
#include "support/XServer.h"

namespace brindlet::platform {
namespace {

using boost::asio::awaitable;
using brindlet::testing::runUntil;
using brindlet::testing::runUntilDone;
using Backend = std::shared_ptr<RandrDisplayBackend>;
using testsupport::XServer;

using Made = std::unique_ptr<streaming::DisplayHandle>;

// A display made is handed out: dropping it here would start its removal on the worker, whose
// requests would race the check of where the cut fell.
awaitable<std::string> attach(Backend backend, std::uint32_t, Made& made) {
  streaming::VirtualDisplayConfig config{
      "Pixel (Brindlet)", streaming::displaySerial("Pixel 8/Pixel"), 589, 1278, 2, 60};
  try {
    made = co_await backend->create(std::move(config));
    co_return "made";
  } catch (const streaming::DisplayError& e) {
    co_return e.text();
  }
}
// The display's mode set again: its mode read first, then set.
awaitable<std::string> setMode(Backend backend, std::uint32_t id, Made&) {
  const auto mode = co_await backend->currentMode(id);
  if (!mode) co_return "no mode to set";
  const int status = co_await backend->setMode(id, *mode);
  co_return status == 0 ? "set" : "refused";
}

struct Call {
  const char* name;
  awaitable<std::string> (*run)(Backend, std::uint32_t, Made&);
  bool needsDisplay;
  std::string answered, lost;
};

// Each row's call runs once per request it makes, the connection cut before that request; the
// next step after the call's last finds it whole.
TEST(RandrDisplayBackend, AConnectionLostAtAnyStepGivesTheCallsOwnFailure) {
  XServer x(XServer::Kind::xorgDummy);
  boost::asio::io_context loop;
  runtime::LogCapture log;
  const std::vector<Call> calls{
      {"attach", attach, false, "made", "creationFailed"},
      {"mode set again", setMode, true, "set", "no mode to set|refused"},
  };
  for (const auto& call : calls) {
    int steps = 0;
    for (int step = 1; step < 200; ++step) {
      SCOPED_TRACE(std::string(call.name) + " cut at step " + std::to_string(step));
      // A backend of its own per cut: it clears what the last one left lit.
      Backend backend = runUntilDone(loop, RandrDisplayBackend::open(x.display()));
      Made display;
      if (call.needsDisplay) {
        streaming::VirtualDisplayConfig config{"Pixel (Brindlet)", 1, 589, 1278, 2, 60};
        display = runUntilDone(loop, backend->create(config));
      }
      const std::uint32_t id = display ? display->id() : 0;
      testing::cutAtReply("randr", step);
      Made made;
      const std::string answer = runUntilDone(loop, call.run(backend, id, made));
      if (!testing::cutHappened()) {
        EXPECT_EQ(answer, call.answered);
        steps = step - 1;
        break;
      }
      EXPECT_NE(("|" + call.lost + "|").find("|" + answer + "|"), std::string::npos) << answer;
    }
    EXPECT_GT(steps, 0) << call.name << " never finished uncut";
  }
  // Only our end of each connection was cut.
  EXPECT_EQ(x.run({"xdpyinfo"}).status, 0);
}

TEST(X11Connection, OneServersLossIsToldOnce) {
  boost::asio::io_context loop;
  runtime::LogCapture log;
  const auto told = [&] { return log.messages("x11", runtime::LogLevel::error); };
  for (int server = 1; server <= 2; ++server) {
    SCOPED_TRACE("server " + std::to_string(server));
    XServer x;
    std::vector<std::unique_ptr<X11Connection>> connections;
    for (int i = 0; i < 4; ++i) {
      std::string name = "x" + std::to_string(i);
      connections.push_back(runUntilDone(loop, X11Connection::open(x.display(), name)));
    }
    x.kill();
    ASSERT_TRUE(runUntil(loop, [&] {
      return std::all_of(connections.begin(), connections.end(),
                         [](const auto& c) { return c->isLost(); });
    }));
    // Every connection's report has had its turn.
    runUntil(
        loop, [] { return false; }, std::chrono::milliseconds(200));
    const auto lines = told();
    EXPECT_EQ(lines.size(), static_cast<std::size_t>(server)) << ::testing::PrintToString(lines);
    EXPECT_EQ(lines.back(), "Lost the connection to X display " + x.display());
  }
}

}  // namespace
}  // namespace brindlet::platform
