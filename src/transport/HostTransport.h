#pragma once

#include <chrono>
#include <cstdint>
#include <exception>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <unordered_map>
#include <vector>

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/awaitable.hpp>

#include "protocol/LinkMessages.h"
#include "runtime/Clock.h"
#include "runtime/Task.h"
#include "transport/BonjourService.h"
#include "transport/DeckTransport.h"
#include "transport/FrameConnection.h"
#include "transport/Handshake.h"
#include "transport/HostTransporting.h"
#include "transport/PairingStore.h"
#include "transport/USBMuxClient.h"

namespace brindlet::runtime {
class FailureStreak;
}

namespace brindlet::transport {

struct HostTransportSettings {
  protocol::Hello localHello;  // its uid is this computer's device identity
  USBMuxClient usbmux;         // where USB phones are found and tunnelled to
  std::shared_ptr<PairingStore> store;
  std::shared_ptr<ServiceDiscovery> discovery;  // needed only when `wifi` is true
  std::uint16_t port = DeckTransport::port;     // the phone's plain port, dialled over USB
  runtime::Duration helloTimeout = Handshake::defaultTimeout;
  runtime::Duration retryInterval = std::chrono::seconds(1);  // between USB dial attempts
  bool wifi = true;
  std::shared_ptr<runtime::Clock> clock;  // the system clock when null
};

// The computer's side of every phone link: dials every phone that usbmuxd reports plugged in,
// finds phones over Bonjour, dials the first paired one by itself, pairs new ones, and reports
// links and nearby phones as one event stream. One actor: all of its state lives on its own
// strand, and the tasks it starts hold it weakly.
class HostTransport final : public HostTransporting,
                            public std::enable_shared_from_this<HostTransport> {
 public:
  // Pause after a failed automatic dial before the next one.
  static constexpr std::chrono::seconds autoDialPause{2};
  // Pause before a failed browse is started again.
  static constexpr std::chrono::seconds browseRestartPause{2};
  // Automatic dials to one phone that may fail before it is skipped.
  static constexpr int maxAutoDialFailures = 3;
  // Pause before a usbmuxd Listen that failed or ended is opened again.
  static constexpr std::chrono::seconds usbmuxRestartPause{3};

  static std::shared_ptr<HostTransport> make(const boost::asio::any_io_executor& executor,
                                             HostTransportSettings settings);
  ~HostTransport() override;

  std::shared_ptr<HostTransportEvents> events() const override { return events_; }
  boost::asio::awaitable<void> start() override;
  boost::asio::awaitable<void> stop() override;
  boost::asio::awaitable<ClientLink> connect(NearbyPhone phone) override;
  boost::asio::awaitable<PairingAttempt> requestPairing(NearbyPhone phone) override;
  boost::asio::awaitable<ClientLink> completePairing(PairingAttempt attempt,
                                                     std::string code) override;
  boost::asio::awaitable<void> cancelPairing(PairingAttempt attempt) override;
  boost::asio::awaitable<void> forget(std::string uid) override;

  // Dials a plain listener on this machine and registers it under a Wi-Fi route of that name.
  boost::asio::awaitable<ClientLink> connectLoopback(std::string name, std::uint16_t port);

 private:
  HostTransport(const boost::asio::any_io_executor& executor, HostTransportSettings settings);

  // Runs an operation on the strand, keeping the actor alive until it ends.

  // Everything below runs on the strand.
  void startNow();
  boost::asio::awaitable<void> stopNow();
  boost::asio::awaitable<void> forgetNow(std::string uid);
  boost::asio::awaitable<void> browsed(std::vector<BonjourService> services);
  std::vector<NearbyPhone> nearby();
  // Whether the last browse found a key stored for the uid.
  bool hasKey(const std::string& uid);
  bool shouldAutoDial(const NearbyPhone& phone) const;
  void recordFailure(const std::optional<std::string>& uid);
  // The auto-dial rule: dials the first eligible paired phone while no link is up, once the
  // store has said which phones have keys now.
  void reconcile();
  static boost::asio::awaitable<void> reconcileWithKeys(std::weak_ptr<HostTransport> weak);
  void dialFirstPaired();
  // The paired TLS dial. An automatic dial passes the stop generation it started in, so that a
  // stop() in between keeps it from registering.
  boost::asio::awaitable<ClientLink> dialPaired(NearbyPhone phone,
                                                std::optional<std::uint64_t> generation);
  boost::asio::awaitable<ClientLink> dialLoopback(std::string name, std::uint16_t port);

  // Shared with the USB road and with pairing: the hello exchange, then registration under the
  // route (closing a link the route held before) and the connected event. A dial whose caller
  // gave up meanwhile (`abandoned` says so once the hello is done) registers nothing.
  // `dialedUid`: the phone whose pairing key the link's TLS used, if any.
  boost::asio::awaitable<ClientLink> attach(std::shared_ptr<FrameConnection> connection,
                                            Route route, std::function<bool()> abandoned = {},
                                            std::optional<std::string> dialedUid = {});
  // Starts the task that waits for the link's end (Wi-Fi and loopback links).
  void watch(const ClientLink& link);
  // A link ended: forgets it if the route still holds this very connection (and reports it),
  // then applies the auto-dial rule.
  void linkEnded(const Route& route, const std::shared_ptr<FrameConnection>& connection,
                 const std::string& reason);

  // The USB road (HostTransportUsb.cpp). start() keeps the usbmuxd watcher task this returns
  // (the transport runs while it exists); stop() cancels it and every task in `devices_`.
  runtime::TaskHandle watchUsb();
  // One usbmuxd event; events of a watcher from before the last stop() are dropped.
  boost::asio::awaitable<void> handle(USBMuxEvent event, std::uint64_t generation);
  void attached(const USBMuxDevice& device);
  boost::asio::awaitable<void> detached(std::int64_t deviceID);
  // Ends the device tasks of devices that the daemon no longer lists.
  boost::asio::awaitable<void> dropUnlisted(std::vector<USBMuxDevice> listed,
                                            std::uint64_t generation);
  // One tunnel and hello exchange to the device; the registered link, or null when it failed.
  // The device's faults go through `faults`, and a hello clears them.
  boost::asio::awaitable<std::shared_ptr<FrameConnection>> dialUSBOnce(
      Route route, std::shared_ptr<runtime::TaskHandle> task,
      std::shared_ptr<runtime::FailureStreak> faults);

  boost::asio::awaitable<PairingAttempt> requestPairingNow(NearbyPhone phone);
  boost::asio::awaitable<ClientLink> completePairingNow(PairingAttempt attempt, std::string code);
  // Where a service is dialled: its resolved address and port.
  static runtime::Endpoint dialEndpoint(const ServiceEndpoint& endpoint);
  static runtime::Endpoint pairingEndpoint(const NearbyPhone& phone,
                                           const protocol::Hello& localHello);
  LinkOptions linkOptions() const { return LinkOptions{clock_}; }

  static boost::asio::awaitable<void> browseLoop(std::weak_ptr<HostTransport> weak,
                                                 std::shared_ptr<ServiceDiscovery> discovery,
                                                 std::shared_ptr<runtime::Clock> clock,
                                                 boost::asio::any_io_executor strand);
  static boost::asio::awaitable<void> autoDial(std::weak_ptr<HostTransport> weak, NearbyPhone phone,
                                               std::uint64_t generation,
                                               std::shared_ptr<runtime::Clock> clock);
  static boost::asio::awaitable<void> watchLink(std::weak_ptr<HostTransport> weak,
                                                std::shared_ptr<FrameConnection> connection,
                                                Route route);
  static boost::asio::awaitable<void> watchUsbmuxd(std::weak_ptr<HostTransport> weak,
                                                   USBMuxClient usbmux,
                                                   std::shared_ptr<runtime::Clock> clock,
                                                   boost::asio::any_io_executor strand,
                                                   std::uint64_t generation);
  // One Listen, to its end; tells `failures` once the daemon accepted it.
  static boost::asio::awaitable<void> listenOnce(std::weak_ptr<HostTransport> weak,
                                                 USBMuxClient usbmux,
                                                 boost::asio::any_io_executor strand,
                                                 std::uint64_t generation,
                                                 std::shared_ptr<runtime::FailureStreak> failures);
  // A device's task: dials it, waits for the link's end, and dials again after a pause, until
  // cancelled. `task` is its own handle. A device that answers every dial with garbage is one
  // error while it goes on.
  static boost::asio::awaitable<void> dialUSB(std::weak_ptr<HostTransport> weak, Route route,
                                              std::shared_ptr<runtime::TaskHandle> task,
                                              std::shared_ptr<runtime::Clock> clock,
                                              runtime::Duration retryInterval);

  const boost::asio::any_io_executor executor_;
  const boost::asio::any_io_executor strand_;
  const std::shared_ptr<HostTransportEvents> events_;
  const HostTransportSettings settings_;
  const std::shared_ptr<runtime::Clock> clock_;

  std::optional<runtime::TaskHandle> watcher_;
  std::vector<runtime::TaskHandle> browsers_;
  std::map<int, runtime::TaskHandle> devices_;  // USB dial tasks by device id
  std::unordered_map<Route, std::shared_ptr<FrameConnection>> links_;
  std::vector<BonjourService> secureServices_;
  std::set<std::string> paired_;  // the uids of secureServices_ that have a key stored
  bool dialing_ = false;
  runtime::TaskHandle autoDialTask_;
  std::map<std::string, int> failures_;  // failed automatic dials by phone uid
  std::uint64_t generation_ = 0;         // counts stop() calls
};

}  // namespace brindlet::transport
