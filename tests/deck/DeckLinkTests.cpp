// The engine on a real link: the scripted phone program dials in over loopback, prints what the
// engine sends, and its deck action reaches the engine.

#include <gtest/gtest.h>

#include <sstream>

#include "DeckHarness.h"
#include "support/ChildProcess.h"
#include "support/Loop.h"
#include "transport/FrameConnection.h"
#include "transport/Handshake.h"

namespace brindlet::deck::testing {
namespace {

using namespace std::chrono_literals;

// Runs the loop and reads the phone's output until the text shows up.
bool pumpUntil(
    DeckHarness& h, testsupport::ChildProcess& phone, const std::string& text,
    const std::function<bool()>& also = [] { return true; }) {
  const auto deadline = std::chrono::steady_clock::now() + 10s;
  h.loop.context().restart();
  while (std::chrono::steady_clock::now() < deadline) {
    h.loop.context().run_one_for(5ms);
    if (also() && phone.waitFor(text, 5ms)) return true;
  }
  return false;
}

asio::awaitable<void> passActions(std::shared_ptr<transport::FrameConnection> link,
                                  std::shared_ptr<DeckEngine> engine) {
  while (auto frame = co_await link->receive()) {
    if (frame->channel != protocol::Channel::control) continue;
    auto envelope = protocol::ControlEnvelope::of(*frame);
    if (const auto* action = envelope.message.as<protocol::DeckAction>())
      co_await engine->perform(*action);
  }
}

TEST(DeckOverLink, ThePhonePrintsTheDeckAndItsActionsReachTheEngine) {
  testsupport::ChildProcess phone(
      {SCRIPTED_PHONE, "--name", "Phone", "--uid", "PHONE-1", "--port", "0", "--usb"});
  ASSERT_TRUE(phone.waitFor("listening ", 10s)) << phone.output();
  ASSERT_TRUE(phone.waitFor("\n", 10s));
  std::istringstream listening(phone.output().substr(phone.output().find("listening ")));
  std::string word;
  std::uint16_t port = 0;
  listening >> word >> port;

  DeckHarness h({"editor.json"});
  auto& io = h.loop.context();
  auto link = brindlet::testing::runUntilDone(
      io, transport::FrameConnection::connect(io.get_executor(),
                                              runtime::Endpoint::hostPort("127.0.0.1", port),
                                              transport::plainTcp(), 5s));
  protocol::Hello hello;
  hello.proto = 1;
  hello.app = "Brindlet";
  hello.device = "computer";
  hello.name = "Computer";
  brindlet::testing::runUntilDone(io, transport::Handshake::run(link, hello, 5s));
  ASSERT_TRUE(pumpUntil(h, phone, "connected(Computer, USB)")) << phone.output();

  h.engine->start();
  h.workspace->apps->push(FrontApp{"com.editor", "Editor", 11});
  h.loop.drain();
  DeckEngine::Send send = [link](const protocol::ControlMessage& m) { link->sendControl(m); };
  h.spawn(h.engine->linkReady(std::move(send)));
  runtime::spawn(io.get_executor(), passActions(link, h.engine));
  for (const char* text :
       {R"("appName":"Editor")", R"("id":"com.test.editor")", R"("t":"deckProfile")",
        R"("states":{"save":{"label":"Save","ring":"none","symbol":"doc"}},"t":"deckState")"})
    EXPECT_TRUE(pumpUntil(h, phone, text)) << text << "\n" << phone.output();

  phone.write(
      R"(send {"id":1,"t":"deckAction","profile":"com.test.editor","key":"save","phase":"press"})"
      "\n");
  const std::string ran = "run com.test.editor/save cmd+s - com.editor";
  EXPECT_TRUE(pumpUntil(h, phone, "ok send", [&] {
    return std::find(h.transcript.begin(), h.transcript.end(), ran) != h.transcript.end();
  })) << phone.output();

  brindlet::testing::runUntilDone(io, link->close());
}

}  // namespace
}  // namespace brindlet::deck::testing
