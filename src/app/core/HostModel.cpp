#include "app/core/HostModel.h"

#include "agents/AgentHub.h"
#include "agents/TerminalJumper.h"
#include "app/core/EngineLinks.h"
#include "app/core/LocalHello.h"
#include "app/core/Onboarding.h"
#include "app/core/Platform.h"
#include "deck/ActionRunner.h"
#include "deck/DeckEngine.h"
#include "deck/SystemReaders.h"
#include "deck/SystemWorkspace.h"
#include "profiles/ProfileStore.h"
#include "profiles/SigningKeyStore.h"
#include "runtime/MainLoop.h"
#include "session/HostSession.h"
#include "session/InputInjector.h"
#include "session/PhoneConnector.h"
#include "session/WindowEvacuation.h"
#include "session/WindowFollower.h"
#include "streaming/DisplayStreamer.h"
#include "streaming/VirtualDisplayManager.h"
#include "transport/HostTransport.h"
#include "transport/PairingStore.h"

namespace brindlet::app {

namespace asio = boost::asio;

namespace {

// A display manager over a backend of its own; its probe is logged when it fails.
asio::awaitable<std::shared_ptr<streaming::VirtualDisplayManager>> makeDisplayManager(
    Platform& platform) {
  auto backend = co_await platform.displayBackend();
  auto availability = co_await streaming::VirtualDisplayManager::probe(*backend);
  auto loop = platform.loop().context().get_executor();
  co_return std::make_shared<streaming::VirtualDisplayManager>(
      loop, std::move(availability), std::move(backend), platform.sleepWake(), platform.clock());
}

asio::awaitable<void> startSession(std::shared_ptr<HostModel> model) {
  co_await model->session->start();
}

asio::awaitable<void> showOnboarding(std::weak_ptr<HostModel> weak) {
  if (auto model = weak.lock()) model->onboardingWindow->show();
  co_return;
}

}  // namespace

HostModel::~HostModel() = default;

agents::HookServer::Handler HostModel::hookHandler(std::shared_ptr<agents::AgentHub> hub) {
  return [hub = std::move(hub)](agents::HookEvent event) -> asio::awaitable<runtime::Bytes> {
    co_return co_await hub->handle(std::move(event));
  };
}

bool HostModel::needsOnboarding(const runtime::Defaults& defaults, const Onboarding& onboarding) {
  const bool complete = defaults.boolean(Onboarding::completeKey).value_or(false);
  return !(complete && onboarding.granted.get().size() >= 2);
}

asio::awaitable<std::shared_ptr<HostModel>> HostModel::build(Platform& platform) {
  std::shared_ptr<HostModel> model(new HostModel);
  auto& m = *model;
  auto& mainLoop = platform.loop();
  auto loop = mainLoop.context().get_executor();
  m.clock = platform.clock();
  m.defaults = platform.defaults();

  // The manager that only tells the menu whether extra displays can be made.
  m.displays = co_await makeDisplayManager(platform);

  // 1. Profiles: the user's folder and the one shipped with the app.
  auto keys = std::make_shared<profiles::KeychainSigningKeyStore>(platform.secretStore());
  m.profiles = std::make_shared<profiles::ProfileStore>(
      mainLoop, platform.dataFolder() / "Brindlet" / "Profiles", platform.bundledProfiles(),
      std::move(keys), m.clock);

  // 3. The two windows, not on screen yet.
  m.onboardingWindow = platform.onboardingWindow();
  m.pairingWindow = platform.pairingWindow();

  // 4. The agent board and its terminal jumper.
  m.windows = co_await platform.windowSystem();
  m.processes = platform.processTable();
  m.programs = platform.programRunner();
  m.jumper =
      std::make_shared<agents::TerminalJumper>(*m.programs, *m.processes, *m.windows, m.clock);
  m.agents = std::make_shared<agents::AgentHub>(loop, m.clock, m.jumper);

  // 5. The paired phones' keys.
  m.pairing = std::make_shared<transport::KeychainPairingStore>(platform.secretStore(),
                                                                std::string(pairingService));

  // 6. What this computer says first.
  auto hello = co_await makeLocalHello(platform);

  // 7. The transport, on the links' own loop; not started yet.
  transport::HostTransportSettings settings;
  settings.localHello = std::move(hello);
  settings.usbmux.path = platform.usbmuxSocket();
  settings.store = m.pairing;
  settings.discovery = platform.discovery();
  settings.port = 9000;
  settings.helloTimeout = std::chrono::seconds(3);
  settings.retryInterval = std::chrono::seconds(1);
  settings.wifi = true;
  settings.clock = m.clock;
  m.transport = transport::HostTransport::make(platform.linkExecutor(), std::move(settings));

  // 8. The session's own display manager; its probe runs again.
  m.sessionDisplays = co_await makeDisplayManager(platform);

  // 9. The streamer: no capture and no pipeline until a stream starts.
  auto encoders = platform.encoderFactory();
  auto capture = platform.captureBackend();
  m.streamer = streaming::DisplayStreamer::make(std::move(encoders), std::move(capture));

  // 10. Input.
  m.poster = co_await platform.eventPoster();
  session::InputInjector::Options input{*m.poster, m.clock, *m.defaults};
  input.doubleClickInterval = co_await platform.doubleClickInterval();
  m.input = std::make_shared<session::InputInjector>(input);

  // 11. The window follower; its scale is the phone display's, once the session has one.
  auto sessionHolder = std::make_shared<std::weak_ptr<session::HostSession>>();
  session::WindowFollower::Options follow{loop, *m.windows, m.clock, *m.defaults};
  follow.scale = [sessionHolder] {
    auto session = sessionHolder->lock();
    if (!session || !session->config()) return 1.0;
    return static_cast<double>(session->config()->scale);
  };
  m.follower = std::make_shared<session::WindowFollower>(std::move(follow));

  // 12. The session, with the desktop's monitors for its display's place.
  auto monitors = co_await platform.monitorLayout();
  session::HostSession::Roles sessionRoles{m.transport, m.pairing, m.sessionDisplays,
                                           m.streamer,  m.input,   m.poster,
                                           m.follower,  monitors,  m.clock};
  // Windows on the phone's display move to a monitor that stays before the display goes.
  auto evacuator = std::make_shared<session::WindowEvacuator>(m.windows, monitors);
  m.sessionDisplays->onRemoving([evacuator](std::uint32_t id) { return evacuator->evacuate(id); });
  m.session = session::HostSession::make(loop, std::move(sessionRoles));
  m.session->reconnectGrace = std::chrono::seconds(10);
  *sessionHolder = m.session;

  // 13. The connector learns of nearby phones only through the session.
  m.connector = std::make_shared<session::PhoneConnector>(m.transport);
  m.session->onNearby = [connector =
                             m.connector](const std::vector<transport::NearbyPhone>& phones) {
    connector->nearby.set(phones);
  };

  // 14. Onboarding, with the permissions read once.
  m.tree = platform.accessibilityTree();
  Onboarding::Roles onboardingRoles{
      platform.permissions(),    m.defaults,           platform.guide(), platform.activator(),
      platform.settingsOpener(), platform.loginItem(), m.clock};
  m.onboarding = co_await Onboarding::create(std::move(onboardingRoles));

  // 15. Under a test harness nothing is loaded or started.
  if (platform.environment(testModeVariable)) {
    m.testMode = true;
    co_return model;
  }

  // 16. Profiles are read and watched.
  co_await m.profiles->start();

  // 17. The deck engine.
  m.workspace = std::make_shared<deck::SystemWorkspace>(loop, *m.windows, m.tree.get(), m.clock);
  m.runner = std::make_shared<deck::ActionRunner>(loop, *m.workspace, *m.poster, m.clock);
  m.readers = std::make_shared<deck::SystemReaders>(*m.tree, *m.processes, *m.clock);
  m.deck = std::make_shared<deck::DeckEngine>(
      mainLoop, deck::DeckEngine::Roles{m.profiles, m.workspace, m.runner, m.readers, m.clock},
      std::string(ownAppID));
  m.deck->start();

  // 18. The session's deck (the task of step 19 starts below, with the onboarding's).
  m.deckLink = std::make_shared<DeckLink>(m.deck);
  m.session->setDeck(m.deckLink);

  // 20. The session's agents.
  m.hubLink = std::make_shared<HubLink>(m.agents);
  m.session->setAgents(m.hubLink);

  // 21. The hook server, with a token new on every launch.
  agents::HookServer::Options hookOptions;
  hookOptions.clock = m.clock;
  m.hookFolder = platform.dataFolder() / "com.velvane.mac" / "agents";
  hookOptions.folder = m.hookFolder;
  m.hookServer =
      agents::HookServer::make(loop, agents::makeHookToken(), hookHandler(m.agents), hookOptions);
  m.hookServer->start();

  // 19 and 22 run only now, so that every object is built and wired before either.
  m.startTasks(platform);
  co_return model;
}

void HostModel::startTasks(Platform& platform) {
  auto loop = platform.loop().context().get_executor();
  sessionStart = runtime::spawn(loop, startSession(shared_from_this()));
  if (needsOnboarding(*defaults, *onboarding)) {
    showingOnboarding = runtime::spawn(loop, showOnboarding(weak_from_this()));
  }
}

}  // namespace brindlet::app
