#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/awaitable.hpp>

#include "desktop/EventPosting.h"
#include "desktop/MonitorLayout.h"
#include "protocol/ControlEnvelope.h"
#include "runtime/Clock.h"
#include "runtime/Log.h"
#include "runtime/Observable.h"
#include "runtime/Task.h"
#include "session/AgentHubLink.h"
#include "session/DeckEngineLink.h"
#include "session/InputInjector.h"
#include "session/WindowFollowing.h"
#include "streaming/VideoStreaming.h"
#include "streaming/VirtualDisplay.h"
#include "transport/HostTransporting.h"
#include "transport/PairingStore.h"

namespace brindlet::streaming {
class LinkVideoSink;
}

namespace brindlet::session {

// The computer's side of one phone at a time: takes the transport's links, answers the phone's
// control messages, gives it an extra display and its video for each pane, sends statistics
// every second, wires the deck and the agents to the link, and keeps the display for a grace
// period after a drop so that a quick reconnect finds it again. Lives on the main loop and is
// touched only from it; made with make(), since its loops hold it weakly.
class HostSession : public std::enable_shared_from_this<HostSession> {
 public:
  // The connected phone as the menu shows it.
  struct Client {
    protocol::Hello hello;
    transport::Route route;
    friend bool operator==(const Client&, const Client&) = default;
  };
  // The last pane and the phone that sent it (its client ID).
  struct StoredPane {
    std::string clientID;
    protocol::Pane pane;
    friend bool operator==(const StoredPane&, const StoredPane&) = default;
  };
  struct Roles {
    std::shared_ptr<transport::HostTransporting> transport;
    std::shared_ptr<transport::PairingStore> pairing;
    std::shared_ptr<streaming::DisplayManaging> display;
    std::shared_ptr<streaming::VideoStreaming> streamer;
    std::shared_ptr<InputInjecting> input;
    std::shared_ptr<desktop::EventPosting> poster;  // the keys the agents press
    std::shared_ptr<WindowFollowing> windowFollower;
    // Where the display shows: its monitor's rectangle gives the phone's area in root pixels.
    std::shared_ptr<desktop::MonitorLayout> monitors;
    std::shared_ptr<runtime::Clock> clock;
  };

  static constexpr runtime::Duration defaultReconnectGrace = std::chrono::seconds(10);
  static constexpr runtime::Duration statsInterval = std::chrono::seconds(1);

  static std::shared_ptr<HostSession> make(boost::asio::any_io_executor loop, Roles roles);
  // Ends the event, statistics and grace tasks.
  ~HostSession();
  HostSession(const HostSession&) = delete;
  HostSession& operator=(const HostSession&) = delete;

  runtime::Observable<std::optional<Client>> client;
  // The mode of the last pane.
  runtime::Observable<std::optional<protocol::Mode>> mode;
  runtime::Observable<std::optional<std::uint32_t>> displayID;
  // The last display or stream failure, until the next phone session begins.
  runtime::Observable<std::optional<std::string>> lastError;
  // Input was refused for want of the display's permission, until input passes again.
  runtime::Observable<bool> needsAccessibility{false};
  // The phone's last `stats`, while its link lasts.
  runtime::Observable<std::optional<protocol::Stats>> clientStats;
  // Whether HEVC is used with a phone that decodes it; takes effect with the next session.
  runtime::Observable<bool> preferHEVC{false};
  runtime::Observable<bool> hasStream{false};

  streaming::VideoQuality quality() const { return quality_.get(); }
  [[nodiscard]] runtime::Subscription subscribeQuality(
      runtime::Observable<streaming::VideoQuality>::Callback callback) {
    return quality_.subscribe(std::move(callback));
  }
  // Every set is applied to the running stream, even of the value already set.
  void setQuality(streaming::VideoQuality quality);

  // Every list of nearby phones the transport reports.
  std::function<void(const std::vector<transport::NearbyPhone>&)> onNearby = [](const auto&) {};
  // Asks the user for the input permission.
  std::function<void()> requestAccessibility;
  runtime::Duration reconnectGrace = defaultReconnectGrace;

  // Each set re-wires the deck and the agents to the current link.
  void setDeck(std::shared_ptr<DeckEngineLink> deck);
  void setAgents(std::shared_ptr<AgentHubLink> agents);

  // Starts the event loop, then the transport; once only.
  boost::asio::awaitable<void> start();
  // Presses and releases a key combination ("cmd+shift+t"); an unreadable one is ignored.
  void pressKey(const std::string& keys);

  const std::optional<transport::ClientLink>& link() const { return link_; }
  const std::optional<streaming::VirtualDisplayConfig>& config() const { return config_; }
  const std::optional<StoredPane>& lastPane() const { return lastPane_; }
  protocol::Codec codec() const { return codec_; }
  bool inGrace() const { return graceTask_ && !graceTask_.isFinished(); }
  // The phone display's pixels per point; 1 while there is none. The window follower reads it.
  double displayScale() const { return config_ ? double(config_->scale) : 1.0; }

 private:
  HostSession(boost::asio::any_io_executor loop, Roles roles);

  // Lifecycle (HostSession.cpp).
  static boost::asio::awaitable<void> runEvents(
      std::weak_ptr<HostSession> weak, std::shared_ptr<transport::HostTransportEvents> events);
  boost::asio::awaitable<void> handleEvent(transport::HostTransportEvent event);
  boost::asio::awaitable<void> connected(transport::ClientLink link);
  boost::asio::awaitable<void> begin(transport::ClientLink link);
  static boost::asio::awaitable<void> readLoop(
      std::weak_ptr<HostSession> weak, std::shared_ptr<transport::FrameConnection> connection);
  // The transport reports the current link's end.
  boost::asio::awaitable<void> linkEnded(std::string reason);
  static boost::asio::awaitable<std::vector<protocol::ControlMessage>> unreadMessages(
      std::shared_ptr<transport::FrameConnection> connection);
  boost::asio::awaitable<void> endSession(bool keepDisplay);
  void startGrace();
  static boost::asio::awaitable<void> grace(std::weak_ptr<HostSession> weak,
                                            std::shared_ptr<runtime::Clock> clock,
                                            runtime::Duration after);

  // Dispatch (SessionDispatch.cpp).
  boost::asio::awaitable<void> handle(protocol::ControlMessage message,
                                      std::shared_ptr<transport::FrameConnection> connection);
  void forwardInput(const protocol::ControlMessage& message);
  void deckAction(const protocol::DeckAction& action);
  void storePairingKey(const protocol::PairOK& pairOK);
  static boost::asio::awaitable<void> savePairingKey(std::shared_ptr<transport::PairingStore> store,
                                                     transport::SymmetricKey key, std::string uid);
  static boost::asio::awaitable<void> showDock(std::shared_ptr<HostSession> self, DisplayRect r);

  // Display and stream (SessionDisplay.cpp).
  // A pane of the current link: it waits its turn, and a newer one waiting replaces it.
  boost::asio::awaitable<void> takePane(protocol::Pane pane);
  // Applies the waiting panes one at a time, unless a call already does or the session is
  // beginning.
  boost::asio::awaitable<void> applyWaitingPanes();
  boost::asio::awaitable<void> applyPane(protocol::Pane pane);
  boost::asio::awaitable<void> attachDisplay(streaming::VirtualDisplayConfig config);
  boost::asio::awaitable<void> startStream(streaming::VirtualDisplayConfig config,
                                           transport::ClientLink link,
                                           std::shared_ptr<streaming::LinkVideoSink> sink,
                                           std::uint32_t id);
  boost::asio::awaitable<void> stopStream();
  boost::asio::awaitable<void> releaseDisplay(bool tellPhone);
  // A display attached for a link that ended meanwhile is kept or released as that link's end
  // would have kept or released it.
  boost::asio::awaitable<void> settleOrphanedDisplay(const std::string& forClient);
  void failed(const char* area, const char* logFormat, const std::string& text);
  // The display's monitor in root pixels with the display's scale; none without a monitor.
  std::optional<DisplayRect> displayBounds(std::uint32_t id) const;
  // The display manager made the display again (after a wake), or lost it for good.
  static boost::asio::awaitable<void> displayReplaced(std::weak_ptr<HostSession> weak,
                                                      std::uint32_t old,
                                                      std::optional<std::uint32_t> replacement);
  // Capture ended without being asked to.
  static boost::asio::awaitable<void> streamStopped(std::weak_ptr<HostSession> weak,
                                                    streaming::StreamError error);

  // Statistics (SessionStats.cpp).
  void startStats();
  static boost::asio::awaitable<void> statsLoop(std::weak_ptr<HostSession> weak,
                                                std::shared_ptr<runtime::Clock> clock);
  boost::asio::awaitable<void> sendStats();

  // Deck and agents (SessionWiring.cpp).
  void wireDeck();
  void wireAgents();
  static boost::asio::awaitable<void> sendFreshDeck(std::shared_ptr<DeckEngineLink> deck);
  static void pressKeyOn(desktop::EventPosting& poster, const std::string& keys);

  bool isCurrent(const transport::ClientLink& link) const;

  boost::asio::any_io_executor loop_;
  Roles roles_;
  runtime::Observable<streaming::VideoQuality> quality_{streaming::VideoQuality::balanced};
  std::shared_ptr<DeckEngineLink> deck_;
  std::shared_ptr<AgentHubLink> agents_;

  std::optional<transport::ClientLink> link_;
  std::shared_ptr<streaming::LinkVideoSink> sink_;
  std::optional<streaming::VirtualDisplayConfig> config_;
  protocol::Codec codec_ = protocol::Codec::h264;
  std::optional<StoredPane> lastPane_;
  // Panes are applied one at a time: two at once would both find no stream and each attach
  // and start one. The newest pane not yet applied waits here.
  std::optional<protocol::Pane> waitingPane_;
  bool applyingPanes_ = false;
  // While a link begins, its panes wait for the deck's first messages.
  bool panesHeld_ = false;
  // Whether the current link has sent a pane: then the stored one is not applied for it.
  bool linkBroughtPane_ = false;
  runtime::TaskHandle eventTask_;
  runtime::TaskHandle statsTask_;
  runtime::TaskHandle graceTask_;
  runtime::TaskHandle deckTask_;
  std::int64_t lastEncoded_ = 0;
  // Whether the last session end kept the display for a reconnect.
  bool lastEndKept_ = false;
  // Moves on each time the session starts or stops the streamer. A start that returns after a
  // later start leaves the stream to that one; after a later stop it stops the stream again.
  std::uint64_t streamTurn_ = 0;
  std::uint64_t lastStartTurn_ = 0;
  // Whether the stream of the current display has been started again after it stopped on its
  // own: it is, once.
  bool streamRestarted_ = false;

  const runtime::Logger& log_ = runtime::Logger::of("session");
  const runtime::Logger& inputLog_ = runtime::Logger::of("input");
};

}  // namespace brindlet::session
