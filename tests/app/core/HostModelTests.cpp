#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "agents/AgentHub.h"
#include "agents/HookServer.h"
#include "app/core/EngineLinks.h"
#include "app/core/FakePlatform.h"
#include "app/core/HostModel.h"
#include "app/core/LocalHello.h"
#include "app/core/Onboarding.h"
#include "app/core/Phones.h"
#include "runtime/Task.h"
#include "session/HostSession.h"
#include "session/InputInjector.h"
#include "session/PhoneConnector.h"
#include "support/Loop.h"

namespace brindlet::app::testing {
namespace {

using namespace std::chrono_literals;
using brindlet::testing::runFor;
using brindlet::testing::runUntilDone;

TEST(HostModel, MakesTheSystemsObjectsInStartUpOrder) {
  FakePlatform platform;
  auto model = platform.buildModel();
  const std::vector<std::string> expected{"display backend",
                                          "sleep source",  // the menu's manager
                                          "secret store",
                                          "bundled profiles",  // 1. profiles
                                          "onboarding window",
                                          "pairing window",  // 3.
                                          "window system",
                                          "process table",
                                          "program runner",  // 4. hub and jumper
                                          "secret store",    // 5. pairing store
                                          "hardware model",
                                          "host name",
                                          "device id",  // 6. hello
                                          "usbmuxd socket",
                                          "discovery",  // 7. transport
                                          "display backend",
                                          "sleep source",  // 8. session's manager
                                          "encoder",
                                          "capture",  // 9. streamer
                                          "event poster",
                                          "double-click interval",  // 10. injector
                                          "monitor layout",         // 12. session
                                          "accessibility tree",
                                          "permissions",
                                          "guide",
                                          "activator",  // 14. onboarding
                                          "settings opener",
                                          "login item"};
  EXPECT_EQ(platform.made, expected);
  EXPECT_EQ(platform.backends.size(), 2u);
  EXPECT_NE(model->displays, model->sessionDisplays);
  EXPECT_FALSE(model->testMode);
  ASSERT_TRUE(model->deck);
  ASSERT_TRUE(model->hookServer);
  EXPECT_TRUE(model->sessionStart);
  EXPECT_TRUE(std::filesystem::is_directory(platform.data.file("Brindlet/Profiles")));
}

TEST(HostModel, TestModeBuildsTheModelsAndStartsNothing) {
  for (const std::string value : {"", "/tmp/x.xctestconfiguration"}) {
    FakePlatform platform;
    platform.environmentValues[std::string(testModeVariable)] = value;
    auto model = platform.buildModel();
    runFor(platform.loop(), *platform.manualClock, 5s);
    EXPECT_TRUE(model->testMode);
    EXPECT_TRUE(model->profiles && model->session && model->connector && model->onboarding &&
                model->agents && model->onboardingWindow && model->pairingWindow);
    EXPECT_FALSE(model->deck);
    EXPECT_FALSE(model->hookServer);
    EXPECT_FALSE(model->sessionStart);
    EXPECT_FALSE(model->showingOnboarding);
    EXPECT_EQ(platform.onboardingPresenter->shows, 0);
    EXPECT_FALSE(std::filesystem::exists(platform.data.file("Brindlet")));
    EXPECT_FALSE(std::filesystem::exists(platform.data.file("com.velvane.mac")));
    EXPECT_EQ(platform.made.back(), "login item");
  }
}

TEST(HostModel, OpensOnboardingUnlessSetUpWithBothGrants) {
  struct Case {
    std::optional<bool> complete;
    Permissions grants;
    bool opens;
  };
  const Permissions both{Permission::screenRecording, Permission::accessibility};
  const std::vector<Case> cases{
      {std::nullopt, {}, true},
      {false, {Permission::accessibility}, true},
      {false, both, true},
      {true, {}, true},
      {true, {Permission::screenRecording}, true},
      {true, {Permission::accessibility}, true},
      {true, both, false},
  };
  for (const auto& c : cases) {
    FakePlatform platform;
    if (c.complete) platform.memoryDefaults->setBoolean(Onboarding::completeKey, *c.complete);
    platform.checker->grants = c.grants;
    auto model = platform.buildModel();
    EXPECT_EQ(platform.onboardingPresenter->shows, c.opens ? 1 : 0)
        << c.complete.value_or(false) << " " << c.grants.size();
    EXPECT_EQ(platform.pairingPresenter->shows, 0);
  }
}

TEST(HostModel, WiresTheDeckTwiceThenTheAgents) {
  FakePlatform platform;
  auto model = platform.buildModel();
  ASSERT_TRUE(model->deckLink);
  // Once when the deck is set, once more when the agents are.
  EXPECT_EQ(model->deckLink->wirings(), 2u);
  EXPECT_EQ(model->deckLink->engine(), model->deck);
  ASSERT_TRUE(model->agents->isPhoneConnected);
  EXPECT_FALSE(model->agents->isPhoneConnected());
  EXPECT_TRUE(model->agents->typeText);
  EXPECT_TRUE(model->agents->pressKey);
}

TEST(HostModel, APressAsksTheDesktopsDoubleClickInterval) {
  FakePlatform platform;
  auto model = platform.buildModel();
  const session::DisplayRect display{{100, 50, 1000, 500}};
  auto tap = [&] {
    for (const auto phase : {protocol::TouchPhase::began, protocol::TouchPhase::ended}) {
      const protocol::Touch touch{phase, 0.5, 0.5, protocol::MouseButton::left, {}, {}};
      model->input->handle(touch, display);
    }
  };
  tap();
  tap();
  EXPECT_GE(platform.doubleClickReads, 1);
}

TEST(HostModel, NearbyPhonesReachTheConnectorThroughTheSession) {
  FakePlatform platform;
  auto model = platform.buildModel();
  EXPECT_TRUE(model->connector->nearby.get().empty());
  model->session->onNearby({pairedPhone("Test Phone", "U1")});
  ASSERT_EQ(model->connector->nearby.get().size(), 1u);
  EXPECT_EQ(model->connector->nearby.get()[0].name, "Test Phone");
}

TEST(HostModel, EachBuildHasANewHookToken) {
  FakePlatform first;
  FakePlatform second;
  const auto a = first.buildModel()->hookServer->token();
  const auto b = second.buildModel()->hookServer->token();
  EXPECT_NE(a, b);
  for (const auto& token : {a, b}) {
    EXPECT_EQ(token.size(), 36u);
    EXPECT_EQ(token.find_first_not_of("0123456789ABCDEF-"), std::string::npos) << token;
  }
}

TEST(HostModel, HookHandlerReturnsTheHubsBytes) {
  FakePlatform platform;
  auto& io = platform.loop().context();
  auto hub = std::make_shared<agents::AgentHub>(io.get_executor(), platform.manualClock, nullptr);
  hub->isPhoneConnected = [] { return true; };
  auto handler = HostModel::hookHandler(hub);
  agents::HookEvent event;
  event.vendor = "claude";
  const std::string body =
      R"({"session_id":"s","hook_event_name":"PermissionRequest","tool_name":"Bash","tool_input":{"command":"ls"}})";
  event.body.assign(body.begin(), body.end());
  std::optional<runtime::Bytes> reply;
  runtime::spawn(io.get_executor(),
                 [](auto handler, auto event, auto& reply) -> boost::asio::awaitable<void> {
                   reply = co_await handler(std::move(event));
                 }(handler, event, reply));
  brindlet::testing::drain(io);
  ASSERT_FALSE(reply);
  const std::string decision = "{\"any\":\"bytes\"}\n";
  hub->resolve("r1", runtime::Bytes(decision.begin(), decision.end()));
  brindlet::testing::drain(io);
  ASSERT_TRUE(reply);
  EXPECT_EQ(std::string(reply->begin(), reply->end()), decision);
}

TEST(LocalHello, DeviceModelFromItsBytes) {
  struct Case {
    std::optional<std::string> raw;
    std::string device;
  };
  const std::vector<Case> cases{
      {std::string("Latitude 7440\n"), "Latitude 7440"},
      {std::string("abc\0def", 7), "abc"},
      {std::string("\0", 1), ""},
      {std::string("Think\xffPad"), "computer"},
      {std::string("Z\xc3\xa9nbook"), "Z\xc3\xa9nbook"},
      {std::nullopt, ""},
  };
  for (const auto& c : cases) EXPECT_EQ(deviceModel(c.raw), c.device) << c.raw.value_or("-");
}

TEST(LocalHello, ComputerNameFromMachineInfoOrHostName) {
  struct Case {
    std::optional<std::string> info;
    std::optional<std::string> host;
    std::string name;
  };
  const std::vector<Case> cases{
      {"PRETTY_HOSTNAME=\"Anna's Laptop\"\nCHASSIS=laptop\n", "anna-x1", "Anna's Laptop"},
      {"CHASSIS=laptop\nPRETTY_HOSTNAME='Büro \"2\"'\n", "h", "Büro \"2\""},
      {"PRETTY_HOSTNAME=Desk\\ One", "h", "Desk One"},
      {"PRETTY_HOSTNAME=\n", "anna-x1\n", "anna-x1"},
      {std::nullopt, "anna-x1", "anna-x1"},
      {std::nullopt, "", "computer"},
      {std::nullopt, std::nullopt, "computer"},
  };
  for (const auto& c : cases) EXPECT_EQ(computerName(c.info, c.host), c.name);
}

TEST(LocalHello, CarriesTheVersionModelNameAndDeviceId) {
  FakePlatform platform;
  platform.info = "PRETTY_HOSTNAME=Desk";
  auto hello = runUntilDone(platform.loop().context(), makeLocalHello(platform));
  EXPECT_EQ(hello.proto, 1);
  EXPECT_EQ(hello.app, "0.1.0");
  EXPECT_EQ(hello.device, "Latitude 7440");
  EXPECT_EQ(hello.name, "Desk");
  EXPECT_TRUE(hello.caps.empty());
  EXPECT_EQ(hello.uid, "0A1B2C3D-0000-4000-8000-000000000001");
}

}  // namespace
}  // namespace brindlet::app::testing
