#pragma once

#include <filesystem>
#include <memory>
#include <string_view>

#include <boost/asio/awaitable.hpp>

#include "agents/HookServer.h"
#include "runtime/Task.h"

namespace brindlet::streaming {
class DisplayStreamer;
class VirtualDisplayManager;
}  // namespace brindlet::streaming
namespace brindlet::session {
class HostSession;
class InputInjector;
class PhoneConnector;
class WindowFollower;
}  // namespace brindlet::session
namespace brindlet::transport {
class HostTransport;
class PairingStore;
}  // namespace brindlet::transport
namespace brindlet::profiles {
class ProfileStore;
}
namespace brindlet::deck {
class AccessibilityTree;
class ActionRunner;
class DeckEngine;
class SystemReaders;
class SystemWorkspace;
}  // namespace brindlet::deck
namespace brindlet::agents {
class AgentHub;
class TerminalJumper;
}  // namespace brindlet::agents
namespace brindlet::desktop {
class EventPosting;
class WindowSystem;
}  // namespace brindlet::desktop
namespace brindlet::runtime {
class Clock;
class Defaults;
class ProcessTable;
class ProgramRunning;
}  // namespace brindlet::runtime

namespace brindlet::app {

class DeckLink;
class HubLink;
class Onboarding;
class Platform;
class WindowPresenting;

// The variable that ends start-up once the models are built, before anything is loaded or
// started (any value, the empty one too).
inline constexpr std::string_view testModeVariable = "XCTestConfigurationFilePath";
// The secret store's service of the paired phones' keys.
inline constexpr std::string_view pairingService = "com.velvane.pairing";
// The deck engine's own app id: the class of the app's windows, which never get a deck.
inline constexpr std::string_view ownAppID = "Brindlet";

// The root model: builds every long-lived object of the app in a fixed order, wires them and
// starts their work, then holds them for the life of the process. Main loop only.
class HostModel : public std::enable_shared_from_this<HostModel> {
 public:
  // The whole start-up; never fails for a missing display, keyring or daemon: each component
  // handles its own.
  static boost::asio::awaitable<std::shared_ptr<HostModel>> build(Platform& platform);
  // The hook server's handler: the hub's reply bytes, unchanged.
  static agents::HookServer::Handler hookHandler(std::shared_ptr<agents::AgentHub> hub);
  // The onboarding window opens unless setup was completed and both permissions are granted.
  static bool needsOnboarding(const runtime::Defaults& defaults, const Onboarding& onboarding);

  ~HostModel();

  // Kept only for the menu's availability line.
  std::shared_ptr<streaming::VirtualDisplayManager> displays;
  std::shared_ptr<session::HostSession> session;
  std::shared_ptr<session::PhoneConnector> connector;
  std::shared_ptr<profiles::ProfileStore> profiles;
  std::shared_ptr<deck::DeckEngine> deck;  // none in test mode
  std::shared_ptr<Onboarding> onboarding;
  std::shared_ptr<WindowPresenting> onboardingWindow;
  std::shared_ptr<WindowPresenting> pairingWindow;
  std::shared_ptr<agents::AgentHub> agents;
  std::shared_ptr<agents::HookServer> hookServer;  // none in test mode
  std::filesystem::path hookFolder;                // where it publishes its port and token
  bool testMode = false;

  // The collaborators the models above hold by reference or share.
  std::shared_ptr<runtime::Defaults> defaults;
  std::shared_ptr<runtime::Clock> clock;
  std::shared_ptr<runtime::ProcessTable> processes;
  std::shared_ptr<runtime::ProgramRunning> programs;
  std::shared_ptr<deck::AccessibilityTree> tree;
  std::shared_ptr<desktop::WindowSystem> windows;
  std::shared_ptr<desktop::EventPosting> poster;
  std::shared_ptr<agents::TerminalJumper> jumper;
  std::shared_ptr<transport::PairingStore> pairing;
  std::shared_ptr<transport::HostTransport> transport;
  std::shared_ptr<streaming::VirtualDisplayManager> sessionDisplays;
  std::shared_ptr<streaming::DisplayStreamer> streamer;
  std::shared_ptr<session::InputInjector> input;
  std::shared_ptr<session::WindowFollower> follower;
  std::shared_ptr<deck::SystemWorkspace> workspace;
  std::shared_ptr<deck::ActionRunner> runner;
  std::shared_ptr<deck::SystemReaders> readers;
  std::shared_ptr<DeckLink> deckLink;
  std::shared_ptr<HubLink> hubLink;

  // The two tasks that run once everything is built and wired.
  runtime::TaskHandle sessionStart;
  runtime::TaskHandle showingOnboarding;

 private:
  HostModel() = default;
  void startTasks(Platform& platform);
};

}  // namespace brindlet::app
