#pragma once

// The agents wired as the host session wires them, over a real link to the scripted phone
// program: the hook server and the hub on a loop thread, the agent hook in a temporary agents
// folder, and the phone, which prints each board it receives and sends what it is told.

#include <chrono>
#include <filesystem>
#include <sstream>
#include <thread>

#include <gtest/gtest.h>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/use_future.hpp>

#include "agents/AgentHub.h"
#include "agents/HookScript.h"
#include "agents/HookServer.h"
#include "runtime/LoopThread.h"
#include "runtime/MainLoop.h"
#include "runtime/Task.h"
#include "support/ChildProcess.h"
#include "support/Loop.h"
#include "support/LoopbackHost.h"
#include "support/TempDir.h"
#include "transport/HostTransport.h"

namespace brindlet::agents::testing {

namespace asio = boost::asio;
using namespace std::chrono_literals;

struct LinkHarness {
  runtime::MainLoop loop;
  testsupport::TempDir dir;
  std::filesystem::path folder;
  std::filesystem::path script;
  testsupport::ChildProcess phone{
      {SCRIPTED_PHONE, "--name", "Phone", "--uid", "PHONE-1", "--port", "0", "--usb"}};
  std::shared_ptr<AgentHub> hub;
  std::shared_ptr<HookServer> server;
  std::shared_ptr<transport::HostTransport> host;
  bool linked = false;  // on the loop
  std::unique_ptr<runtime::LoopThread> thread;

  template <class F>
  auto onLoop(F f) -> decltype(f()) {
    return brindlet::testing::onLoop(loop, std::move(f));
  }

  // The agents folder in a data folder under the temporary one.
  explicit LinkHarness(const std::string& data = ".")
      : folder(std::filesystem::path(dir.path()) / data / "com.velvane.mac" / "agents"),
        script(folder / "agent-hook") {
    writeHookScript(script);
    EXPECT_TRUE(phone.waitFor("listening ", 10s));
    EXPECT_TRUE(phone.waitFor("\n", 10s));
    std::istringstream listening(phone.output().substr(phone.output().find("listening ")));
    std::string word;
    std::uint16_t port = 0;
    listening >> word >> port;

    const auto executor = loop.context().get_executor();
    hub = std::make_shared<AgentHub>(executor, runtime::Clock::system(), nullptr);
    server = HookServer::make(executor, makeHookToken(),
                              [hub = hub](HookEvent event) { return hub->handle(event); },
                              {nullptr, folder, nullptr});
    auto settings = testsupport::loopbackHostSettings(dir.file("no-usbmuxd"));
    host = transport::HostTransport::make(executor, std::move(settings));
    thread = std::make_unique<runtime::LoopThread>(loop);
    onLoop([this] { server->start(); });
    for (int i = 0; i < 500 && !std::filesystem::exists(folder / "server.json"); ++i) {
      std::this_thread::sleep_for(10ms);
    }
    auto link =
        asio::co_spawn(loop.context(), host->connectLoopback("Phone", port), asio::use_future)
            .get();
    onLoop([this, link] { wire(link.connection); });
  }

  ~LinkHarness() {
    onLoop([this] { server->stop(); });
    for (int i = 0; i < 500 && onLoop([this] { return server->connectionCount(); }) > 0; ++i) {
      std::this_thread::sleep_for(5ms);
    }
    asio::co_spawn(loop.context(), host->stop(), asio::use_future).get();
    onLoop([this] {
      server.reset();
      hub.reset();
    });
    thread->stop();
  }

  // As the host session wires the hub to a new link: the board goes out now and on every change,
  // and the phone's answers come back to the hub until the link ends.
  void wire(std::shared_ptr<transport::FrameConnection> connection) {
    linked = true;
    hub->isPhoneConnected = [this] { return linked; };
    hub->onChange = [connection](const protocol::AgentBoard& board) {
      connection->sendControl(protocol::ControlMessage(board));
    };
    protocol::AgentBoard board;
    for (const auto& [id, card] : hub->agents()) board.agents.push_back(card);
    AgentHub::sortBoard(board.agents);
    connection->sendControl(protocol::ControlMessage(board));
    runtime::spawn(loop.context().get_executor(), passActions(this, connection));
  }

  static asio::awaitable<void> passActions(LinkHarness* h,
                                           std::shared_ptr<transport::FrameConnection> link) {
    try {
      while (auto frame = co_await link->receive()) {
        if (frame->channel != protocol::Channel::control) continue;
        auto envelope = protocol::ControlEnvelope::of(*frame);
        if (const auto* action = envelope.message.as<protocol::AgentAction>()) {
          runtime::spawn(h->loop.context().get_executor(), h->hub->handle(*action));
        }
      }
    } catch (const std::exception&) {
    }
    h->linked = false;
    h->hub->onChange = [](const protocol::AgentBoard&) {};
  }

  std::unique_ptr<testsupport::ChildProcess> runScript(const std::string& input,
                                                       std::vector<std::string> env = {},
                                                       const std::string& vendor = "claude") {
    std::vector<std::string> argv{"env", "-i", "PATH=/usr/bin:/bin", "HOME=" + dir.path()};
    argv.insert(argv.end(), env.begin(), env.end());
    argv.insert(argv.end(), {"sh", "-c", "'" + script.string() + "' " + vendor});
    auto child = std::make_unique<testsupport::ChildProcess>(argv);
    child->write(input);
    child->closeInput();
    return child;
  }

  // The script's whole output once it exited with status 0.
  static std::string finish(testsupport::ChildProcess& child) {
    EXPECT_EQ(child.waitExit(20s), 0);
    child.waitFor("\x01 (read to the end)", 200ms);
    return child.output();
  }
};

}  // namespace brindlet::agents::testing
