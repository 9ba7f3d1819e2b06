#include "transport/HostTransport.h"

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/strand.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>

#include "protocol/Enums.h"
#include "runtime/OneShot.h"
#include "transport/BonjourBrowser.h"
#include "transport/SecureChannel.h"
#include "transport/Strand.h"
#include "transport/TlsByteStream.h"
#include "transport/TransportError.h"

namespace brindlet::transport {

namespace asio = boost::asio;
using namespace std::chrono_literals;

namespace {

constexpr auto kDialTimeout = 5s;

// Cancels the browse when the loop that reads it ends, however it ends.
struct StopBrowsingOnExit {
  std::shared_ptr<BonjourSnapshots> snapshots;
  ~StopBrowsingOnExit() { snapshots->cancel(); }
};

}  // namespace

std::shared_ptr<HostTransport> HostTransport::make(const asio::any_io_executor& executor,
                                                   HostTransportSettings settings) {
  return std::shared_ptr<HostTransport>(new HostTransport(executor, std::move(settings)));
}

HostTransport::HostTransport(const asio::any_io_executor& executor, HostTransportSettings settings)
    : executor_(executor),
      strand_(asio::make_strand(executor)),
      events_(HostTransportEvents::make()),
      settings_(std::move(settings)),
      clock_(settings_.clock ? settings_.clock : runtime::Clock::system()) {}

HostTransport::~HostTransport() {
  // Nothing the transport started outlives it.
  if (watcher_) watcher_->cancel();
  for (auto& task : browsers_) task.cancel();
  for (auto& [id, task] : devices_) task.cancel();
  autoDialTask_.cancel();
}

asio::awaitable<void> HostTransport::start() {
  auto self = shared_from_this();
  auto operation = [](std::shared_ptr<HostTransport> self) -> asio::awaitable<void> {
    self->startNow();
    co_return;
  };
  auto starting = operation(shared_from_this());
  co_await onStrand(strand_, self, std::move(starting));
}

// Operations are named before they are awaited: g++ 12 may destroy a temporary inside a
// co_await expression twice.
asio::awaitable<void> HostTransport::stop() {
  auto self = shared_from_this();
  auto operation = stopNow();
  co_await onStrand(strand_, self, std::move(operation));
}

asio::awaitable<ClientLink> HostTransport::connect(NearbyPhone phone) {
  auto self = shared_from_this();
  auto operation = dialPaired(std::move(phone), std::nullopt);
  co_return co_await onStrand(strand_, self, std::move(operation));
}

asio::awaitable<ClientLink> HostTransport::connectLoopback(std::string name, std::uint16_t port) {
  auto self = shared_from_this();
  auto operation = dialLoopback(std::move(name), port);
  co_return co_await onStrand(strand_, self, std::move(operation));
}

asio::awaitable<PairingAttempt> HostTransport::requestPairing(NearbyPhone phone) {
  auto self = shared_from_this();
  auto operation = requestPairingNow(std::move(phone));
  co_return co_await onStrand(strand_, self, std::move(operation));
}

asio::awaitable<ClientLink> HostTransport::completePairing(PairingAttempt attempt,
                                                           std::string code) {
  auto self = shared_from_this();
  auto operation = completePairingNow(std::move(attempt), std::move(code));
  co_return co_await onStrand(strand_, self, std::move(operation));
}

asio::awaitable<void> HostTransport::cancelPairing(PairingAttempt attempt) {
  auto self = shared_from_this();
  auto operation = [](std::shared_ptr<FrameConnection> request) -> asio::awaitable<void> {
    std::optional<std::string> reason(protocol::ByeReason::pairingEnded);
    co_await request->close(std::move(reason));
  };
  auto cancelling = operation(attempt.request);
  co_await onStrand(strand_, self, std::move(cancelling));
}

asio::awaitable<void> HostTransport::forget(std::string uid) {
  auto self = shared_from_this();
  auto operation = [](std::shared_ptr<HostTransport> self,
                      std::string uid) -> asio::awaitable<void> { co_await self->forgetNow(uid); };
  auto forgetting = operation(shared_from_this(), std::move(uid));
  co_await onStrand(strand_, self, std::move(forgetting));
}

void HostTransport::startNow() {
  if (watcher_) return;
  watcher_ = watchUsb();
  if (!settings_.wifi || !settings_.discovery) return;
  browsers_ = {
      runtime::spawn(strand_, browseLoop(weak_from_this(), settings_.discovery, clock_, strand_))};
}

asio::awaitable<void> HostTransport::stopNow() {
  ++generation_;
  if (watcher_) watcher_->cancel();
  watcher_.reset();
  for (auto& task : browsers_) task.cancel();
  browsers_.clear();
  for (auto& [id, task] : devices_) task.cancel();
  devices_.clear();
  // An automatic dial in flight ends here; its generation keeps it from registering.
  autoDialTask_.cancel();
  // The links leave the map before anything waits, so their watchers find nothing to report.
  auto links = std::exchange(links_, {});
  for (auto& [route, connection] : links) {
    std::optional<std::string> noBye;
    co_await connection->close(std::move(noBye));
    events_->push(HostTransportEvent::disconnected(route, "closed"));
  }
}

asio::awaitable<void> HostTransport::forgetNow(std::string uid) {
  const auto store = settings_.store;
  co_await store->remove(uid);
  paired_.erase(uid);
  failures_.erase(uid);
  events_->push(HostTransportEvent::nearby(nearby()));
}

asio::awaitable<void> HostTransport::browseLoop(std::weak_ptr<HostTransport> weak,
                                                std::shared_ptr<ServiceDiscovery> discovery,
                                                std::shared_ptr<runtime::Clock> clock,
                                                asio::any_io_executor strand) {
  const std::string type(DeckTransport::serviceType);
  // One streak for every browse of the loop: a missing daemon is an error once, not once a browse.
  auto failures = std::make_shared<runtime::FailureStreak>(transportLog());
  for (;;) {
    StopBrowsingOnExit browse{BonjourBrowser::browse(*discovery, type, strand, failures)};
    while (auto services = co_await browse.snapshots->next()) {
      if (auto self = weak.lock()) co_await self->browsed(std::move(*services));
    }
    if (weak.expired()) co_return;
    // The browse failed: Wi-Fi discovery goes on after a pause (stop() cancels the pause).
    co_await clock->sleep(browseRestartPause);
  }
}

namespace {

std::vector<std::string> uidsOf(const std::vector<BonjourService>& services) {
  std::vector<std::string> uids;
  for (const auto& service : services) {
    if (auto phone = nearbyPhone(service, [](const std::string&) { return false; }); phone.uid) {
      uids.push_back(*phone.uid);
    }
  }
  return uids;
}

// Which of the uids have a key: a locked keyring may keep the answer for as long as the user
// takes to unlock it, while the loop goes on.
asio::awaitable<std::set<std::string>> pairedAmong(std::shared_ptr<PairingStore> store,
                                                   std::vector<std::string> uids) {
  std::set<std::string> paired;
  for (const auto& uid : uids) {
    if (co_await store->key(uid)) paired.insert(uid);
  }
  co_return paired;
}

}  // namespace

asio::awaitable<void> HostTransport::browsed(std::vector<BonjourService> services) {
  auto looking = pairedAmong(settings_.store, uidsOf(services));
  paired_ = co_await std::move(looking);
  secureServices_ = std::move(services);
  events_->push(HostTransportEvent::nearby(nearby()));
  reconcile();
}

std::vector<NearbyPhone> HostTransport::nearby() {
  std::vector<NearbyPhone> phones;
  phones.reserve(secureServices_.size());
  auto hasKey = [this](const std::string& uid) { return this->hasKey(uid); };
  for (const auto& service : secureServices_) phones.push_back(nearbyPhone(service, hasKey));
  sortByName(phones);
  return phones;
}

bool HostTransport::hasKey(const std::string& uid) {
  return paired_.contains(uid);
}

bool HostTransport::shouldAutoDial(const NearbyPhone& phone) const {
  if (!phone.isPaired || !phone.secure) return false;
  auto it = failures_.find(phone.uid.value_or(""));
  return it == failures_.end() || it->second < maxAutoDialFailures;
}

void HostTransport::recordFailure(const std::optional<std::string>& uid) {
  if (uid) ++failures_[*uid];
}

void HostTransport::reconcile() {
  if (!settings_.wifi || !watcher_ || !links_.empty() || dialing_) return;
  runtime::spawn(strand_, reconcileWithKeys(weak_from_this()));
}

asio::awaitable<void> HostTransport::reconcileWithKeys(std::weak_ptr<HostTransport> weak) {
  std::shared_ptr<PairingStore> store;
  std::vector<std::string> uids;
  if (auto self = weak.lock()) {
    store = self->settings_.store;
    uids = uidsOf(self->secureServices_);
  } else {
    co_return;
  }
  // Keys may have come or gone since the last browse.
  auto looking = pairedAmong(std::move(store), uids);
  const auto paired = co_await std::move(looking);
  auto self = weak.lock();
  if (!self) co_return;
  for (const auto& uid : uids) {
    if (paired.contains(uid)) {
      self->paired_.insert(uid);
    } else {
      self->paired_.erase(uid);
    }
  }
  self->dialFirstPaired();
}

void HostTransport::dialFirstPaired() {
  // A stopped transport dials nothing, whatever its last browse showed.
  if (!settings_.wifi || !watcher_ || !links_.empty() || dialing_) return;
  for (auto& phone : nearby()) {
    if (!shouldAutoDial(phone)) continue;
    dialing_ = true;
    autoDialTask_ =
        runtime::spawn(strand_, autoDial(weak_from_this(), std::move(phone), generation_, clock_));
    return;
  }
}

asio::awaitable<void> HostTransport::autoDial(std::weak_ptr<HostTransport> weak, NearbyPhone phone,
                                              std::uint64_t generation,
                                              std::shared_ptr<runtime::Clock> clock) {
  std::exception_ptr failure;
  if (auto self = weak.lock()) {
    try {
      co_await self->dialPaired(phone, generation);
    } catch (...) {
      failure = std::current_exception();
    }
  }
  if (failure) {
    auto self = weak.lock();
    // A dial that stop() ended is no failure of the phone's.
    if (self && self->generation_ == generation) {
      transportLog().info("Wi-Fi to %s failed: %s", phone.name.c_str(),
                          runtime::describe(failure).c_str());
      self->recordFailure(phone.uid);
      self.reset();
      try {
        co_await clock->sleep(autoDialPause);
      } catch (...) {
        // A cancelled pause counts as over.
      }
    }
  }
  if (auto self = weak.lock()) {
    self->dialing_ = false;
    self->reconcile();
  }
}

asio::awaitable<ClientLink> HostTransport::dialPaired(NearbyPhone phone,
                                                      std::optional<std::uint64_t> generation) {
  std::optional<SymmetricKey> key;
  if (phone.uid) {
    const auto store = settings_.store;
    const std::string uid = *phone.uid;
    key = co_await store->key(uid);
  }
  const auto& macUid = settings_.localHello.uid;
  if (!phone.secure || !phone.uid || !key || !macUid)
    throw TransportError::connectionFailed(phone.name + " isn't paired with this computer");
  auto endpoint = dialEndpoint(phone.secure->endpoint);
  auto tls = secureTls(SecureChannel::parameters({SecureChannel::Key{*macUid, *key}}));
  auto options = linkOptions();
  auto connection = co_await FrameConnection::connect(
      executor_, std::move(endpoint), std::move(tls), kDialTimeout, std::move(options));
  failures_.erase(*phone.uid);
  auto route = Route::wifi(phone.name);
  std::function<bool()> abandoned;
  if (generation) abandoned = [this, started = *generation] { return generation_ != started; };
  auto uid = phone.uid;
  auto link = co_await attach(connection, std::move(route), std::move(abandoned), std::move(uid));
  watch(link);
  co_return link;
}

asio::awaitable<ClientLink> HostTransport::dialLoopback(std::string name, std::uint16_t port) {
  auto endpoint = runtime::Endpoint::hostPort("127.0.0.1", port);
  auto tcp = plainTcp();
  auto options = linkOptions();
  auto connection = co_await FrameConnection::connect(
      executor_, std::move(endpoint), std::move(tcp), kDialTimeout, std::move(options));
  auto route = Route::wifi(std::move(name));
  auto link = co_await attach(connection, std::move(route));
  watch(link);
  co_return link;
}

asio::awaitable<ClientLink> HostTransport::attach(std::shared_ptr<FrameConnection> connection,
                                                  Route route, std::function<bool()> abandoned,
                                                  std::optional<std::string> dialedUid) {
  auto hello = co_await Handshake::run(connection, settings_.localHello, settings_.helloTimeout);
  auto cancellation = co_await asio::this_coro::cancellation_state;
  const bool cancelled = cancellation.cancelled() != asio::cancellation_type::none;
  if (cancelled || (abandoned && abandoned())) {
    co_await asio::this_coro::reset_cancellation_state();
    std::optional<std::string> bye;
    if (route.kind == Route::Kind::usb) bye = std::string(protocol::ByeReason::usbDetached);
    co_await connection->close(std::move(bye));
    throw TransportError::closed();
  }
  auto previous = std::exchange(links_[route], connection);
  if (previous) {
    // The route's earlier link is ended, not left open behind the new one.
    std::optional<std::string> noBye;
    co_await previous->close(std::move(noBye));
    std::string reason = co_await previous->closed();
    events_->push(HostTransportEvent::disconnected(route, std::move(reason)));
  }
  transportLog().info("Connected to %s over %s", hello.name.c_str(), route.description().c_str());
  ClientLink link{connection, std::move(route), std::move(hello), std::move(dialedUid)};
  events_->push(HostTransportEvent::connected(link));
  co_return link;
}

void HostTransport::watch(const ClientLink& link) {
  runtime::spawn(strand_, watchLink(weak_from_this(), link.connection, link.route));
}

asio::awaitable<void> HostTransport::watchLink(std::weak_ptr<HostTransport> weak,
                                               std::shared_ptr<FrameConnection> connection,
                                               Route route) {
  const std::string reason = co_await connection->closed();
  if (auto self = weak.lock()) self->linkEnded(route, connection, reason);
}

void HostTransport::linkEnded(const Route& route,
                              const std::shared_ptr<FrameConnection>& connection,
                              const std::string& reason) {
  auto it = links_.find(route);
  if (it != links_.end() && it->second == connection) {
    links_.erase(it);
    events_->push(HostTransportEvent::disconnected(route, reason));
  }
  reconcile();
}

runtime::Endpoint HostTransport::dialEndpoint(const ServiceEndpoint& endpoint) {
  std::string host = endpoint.host;
  // A link-local IPv6 address is reachable only through the interface it was found on.
  if (host.rfind("fe80:", 0) == 0 && host.find('%') == std::string::npos &&
      endpoint.interfaceIndex > 0)
    host += "%" + std::to_string(endpoint.interfaceIndex);
  return runtime::Endpoint::hostPort(std::move(host), endpoint.port);
}

}  // namespace brindlet::transport
