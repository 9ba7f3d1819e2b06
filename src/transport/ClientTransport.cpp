#include "transport/ClientTransport.h"

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/strand.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/system/system_error.hpp>

#include "runtime/Task.h"
#include "transport/FrameConnection.h"
#include "transport/Listener.h"
#include "transport/PairingCode.h"
#include "transport/Strand.h"

namespace brindlet::transport {

namespace asio = boost::asio;
using namespace std::chrono_literals;

namespace {

constexpr int kSecureAttempts = 10;
constexpr auto kSecureRetryPause = 50ms;

std::uint16_t secureDefault(std::uint16_t port, std::optional<std::uint16_t> securePort) {
  if (securePort) return *securePort;
  return port == 0 ? 0 : DeckTransport::tlsPort;
}

TransportError cannotListen(std::uint16_t port, const boost::system::system_error& e) {
  return TransportError::connectionFailed("cannot listen on " + std::to_string(port) + ": " +
                                          e.code().message());
}

}  // namespace

// The TLS listener and the advertisement that goes with it.
struct ClientTransport::SecureListener {
  std::shared_ptr<Listener> listener;
  std::unique_ptr<DiscoveryHandle> advertisement;
};

std::string textOf(const ClientTransportEvent& event) {
  using namespace ClientTransportEvents;
  return std::visit(
      [](const auto& e) -> std::string {
        using E = std::decay_t<decltype(e)>;
        if constexpr (std::is_same_v<E, Connected>) {
          return "connected(" + e.link.hello.name + ", " + (e.link.isUSB ? "USB" : "Wi-Fi") + ")";
        } else if constexpr (std::is_same_v<E, Disconnected>) {
          return "disconnected(" + e.reason + ")";
        } else if constexpr (std::is_same_v<E, Pairing>) {
          return "pairing(" + e.code + ", " + e.host + ")";
        } else if constexpr (std::is_same_v<E, PairingEnded>) {
          return std::string("pairingEnded(lockedOut: ") + (e.lockedOut ? "true" : "false") + ")";
        } else {
          return "connecting";
        }
      },
      event);
}

ClientTransport::ClientTransport(const asio::any_io_executor& executor, Settings settings)
    : strand_(asio::make_strand(executor)),
      queue_(asio::make_strand(executor)),
      events_(runtime::AsyncQueue<ClientTransportEvent>::make()),
      localHello_(std::move(settings.localHello)),
      store_(std::move(settings.store)),
      requestedPort_(settings.port),
      serviceName_(settings.serviceName.value_or(localHello_.name)),
      helloTimeout_(settings.helloTimeout),
      loopbackIsUSB_(settings.loopbackIsUSB),
      advertise_(settings.advertise),
      discovery_(std::move(settings.discovery)),
      clock_(settings.clock ? std::move(settings.clock) : runtime::Clock::system()),
      securePort_(secureDefault(settings.port, settings.securePort)) {}

std::shared_ptr<ClientTransport> ClientTransport::make(const asio::any_io_executor& executor,
                                                       Settings settings) {
  return std::shared_ptr<ClientTransport>(new ClientTransport(executor, std::move(settings)));
}

// Nobody else holds the transport any more: what it still owns is torn down without byes.
ClientTransport::~ClientTransport() {
  if (plain_) plain_->cancel();
  cancelSecure();
  for (const auto& link : {live_, pending_, pairingRequest_}) {
    if (link) link->connection()->cancel();
  }
}

asio::awaitable<void> ClientTransport::start() {
  auto self = shared_from_this();
  auto operation = startNow();
  co_await onStrand(strand_, self, std::move(operation));
}

asio::awaitable<void> ClientTransport::stop(std::string reason) {
  auto self = shared_from_this();
  auto operation = stopNow(std::move(reason));
  co_await onStrand(strand_, self, std::move(operation));
}

asio::awaitable<void> ClientTransport::forgetAll() {
  auto self = shared_from_this();
  auto operation = forgetAllNow();
  co_await onStrand(strand_, self, std::move(operation));
}

asio::awaitable<void> ClientTransport::restartSecure() {
  auto self = shared_from_this();
  auto operation = restartSecureNow();
  co_await onStrand(strand_, self, std::move(operation));
}

asio::awaitable<bool> ClientTransport::isListening() {
  auto self = shared_from_this();
  auto read = [](ClientTransport& t) -> asio::awaitable<bool> { co_return t.plain_ != nullptr; };
  auto operation = read(*this);
  co_return co_await onStrand(strand_, self, std::move(operation));
}

asio::awaitable<std::optional<std::uint16_t>> ClientTransport::plainListenerPort() {
  auto self = shared_from_this();
  auto read = [](ClientTransport& t) -> asio::awaitable<std::optional<std::uint16_t>> {
    co_return t.plain_ ? t.plain_->port() : std::nullopt;
  };
  auto operation = read(*this);
  co_return co_await onStrand(strand_, self, std::move(operation));
}

asio::awaitable<std::optional<std::uint16_t>> ClientTransport::secureListenerPort() {
  auto self = shared_from_this();
  auto read = [](ClientTransport& t) -> asio::awaitable<std::optional<std::uint16_t>> {
    co_return t.secure_ ? t.secure_->listener->port() : std::nullopt;
  };
  auto operation = read(*this);
  co_return co_await onStrand(strand_, self, std::move(operation));
}

asio::awaitable<std::optional<std::string>> ClientTransport::currentCode() {
  auto self = shared_from_this();
  auto read = [](ClientTransport& t) -> asio::awaitable<std::optional<std::string>> {
    co_return t.pairingCode_;
  };
  auto operation = read(*this);
  co_return co_await onStrand(strand_, self, std::move(operation));
}

std::map<std::string, std::string> ClientTransport::txtRecord() const {
  std::map<std::string, std::string> txt = {
      {"name", localHello_.name}, {"model", localHello_.device}, {"proto", "1"}};
  if (localHello_.uid) txt["uid"] = *localHello_.uid;
  return txt;
}

asio::awaitable<void> ClientTransport::startNow() {
  if (plain_) co_return;
  std::shared_ptr<Listener> listener;
  try {
    listener = Listener::plain(queue_, requestedPort_);
  } catch (const boost::system::system_error& e) {
    throw cannotListen(requestedPort_, e);
  }
  std::weak_ptr<ClientTransport> weak = shared_from_this();
  listener->setNewConnectionHandler(
      [weak, strand = strand_](std::shared_ptr<runtime::ByteStream> connection,
                               Listener::Unfinished unfinished) {
        runtime::spawn(strand,
                       connectionTask(weak, std::move(connection), false, std::move(unfinished)));
      });
  co_await waitUntilReady(listener);
  plain_ = listener;
  co_await startSecure();
  const std::uint16_t plainPort = plain_ ? plain_->port().value_or(0) : 0;
  transportLog().info("Listening on %hu and %hu (TLS) as %s", plainPort, securePort_,
                      serviceName_.c_str());
}

asio::awaitable<void> ClientTransport::stopNow(std::string reason) {
  if (plain_) plain_->cancel();
  plain_.reset();
  cancelSecure();
  if (pairingRequest_) {
    std::optional<std::string> ended(protocol::ByeReason::pairingEnded);
    co_await endPairing(std::move(ended), false, false);
  }
  if (pending_) {
    auto link = std::move(pending_);
    pending_.reset();
    std::optional<std::string> bye(reason);
    co_await link->close(std::move(bye));
  }
  if (live_) {
    auto link = std::move(live_);
    live_.reset();
    std::optional<std::string> bye(reason);
    co_await link->close(std::move(bye));
  }
  transportLog().info("Stopped listening (%s)", reason.c_str());
}

asio::awaitable<void> ClientTransport::forgetAllNow() {
  const auto store = store_;
  const auto identities = co_await store->identities();
  for (const auto& identity : identities) co_await store->remove(identity);
  co_await restartSecureNow();
  transportLog().info("Forgot every paired computer");
}

asio::awaitable<void> ClientTransport::restartSecureNow() {
  if (!plain_) co_return;
  std::exception_ptr failure;
  try {
    co_await startSecure();
  } catch (...) {
    failure = std::current_exception();
  }
  if (failure)
    transportLog().error("TLS listener restart failed: %s", runtime::describe(failure).c_str());
}

// One rebuild at a time: a rebuild that overlapped another could otherwise finish first and
// leave the listener with an older key list (a forgotten key or a dropped code still accepted).
asio::awaitable<void> ClientTransport::startSecure() {
  while (securing_) {
    auto turn = runtime::OneShot<std::monostate>::make();
    secureQueue_.push_back(turn);
    co_await turn->wait();
  }
  securing_ = true;
  std::exception_ptr failure;
  try {
    co_await buildSecure();
  } catch (...) {
    failure = std::current_exception();
  }
  securing_ = false;
  auto waiting = std::move(secureQueue_);
  secureQueue_.clear();
  for (const auto& turn : waiting) turn->resume({});
  if (failure) std::rethrow_exception(failure);
}

asio::awaitable<void> ClientTransport::buildSecure() {
  auto stored = co_await storedKeys();
  auto parameters = SecureChannel::parameters(keyList(std::move(stored)));
  cancelSecure();
  std::exception_ptr lastError;
  for (int attempt = 0; attempt < kSecureAttempts; ++attempt) {
    std::optional<SecureListener> made;
    try {
      std::optional<std::string> type(DeckTransport::serviceType);
      made = co_await makeSecureListener(parameters, securePort_, std::move(type));
    } catch (...) {
      lastError = std::current_exception();
    }
    if (made) {
      // Stopped while the listener was being made: a stopped phone accepts nothing.
      if (!plain_) {
        made->listener->cancel();
        co_return;
      }
      cancelSecure();
      secure_ = std::make_unique<SecureListener>(std::move(*made));
      if (auto port = secure_->listener->port()) securePort_ = *port;
      co_return;
    }
    try {
      co_await clock_->sleep(kSecureRetryPause);
    } catch (...) {
      // A cancelled pause only shortens the wait.
    }
  }
  std::rethrow_exception(lastError);
}

asio::awaitable<ClientTransport::SecureListener> ClientTransport::makeSecureListener(
    SecureChannel::Parameters parameters, std::uint16_t port, std::optional<std::string> type) {
  SecureListener secure;
  try {
    secure.listener = Listener::tls(queue_, port, std::move(parameters));
  } catch (const boost::system::system_error& e) {
    throw cannotListen(port, e);
  }
  std::weak_ptr<ClientTransport> weak = shared_from_this();
  secure.listener->setNewConnectionHandler(
      [weak, strand = strand_](std::shared_ptr<runtime::ByteStream> connection,
                               Listener::Unfinished unfinished) {
        runtime::spawn(strand,
                       connectionTask(weak, std::move(connection), true, std::move(unfinished)));
      });
  co_await waitUntilReady(secure.listener);
  if (advertise_ && type) advertise(secure, secure.listener->port().value_or(port), *type);
  co_return secure;
}

void ClientTransport::advertise(SecureListener& secure, std::uint16_t port,
                                const std::string& type) {
  if (!discovery_) return;
  ServiceAdvertisement service{serviceName_, type, port, txtRecord()};
  if (plain_) {
    if (auto plainPort = plain_->port()) service.txt["pair"] = std::to_string(*plainPort);
  }
  // Runs on the discovery's own thread: only logs.
  auto onEvent = [wanted = serviceName_](AdvertiseEvent event) {
    if (event.kind == AdvertiseEvent::Kind::failed) {
      transportLog().error("Advertising %s failed: %s", wanted.c_str(), event.error.c_str());
    } else if (event.name != wanted) {
      transportLog().info("Advertised as %s", event.name.c_str());
    }
  };
  secure.advertisement = discovery_->advertise(service, onEvent);
}

asio::awaitable<std::vector<SecureChannel::Key>> ClientTransport::storedKeys() {
  const auto store = store_;
  std::vector<SecureChannel::Key> keys;
  const std::string pairingPrefix = PairingCode::pairingIdentity("");
  const auto identities = co_await store->identities();
  for (const auto& identity : identities) {
    // The pairing identities belong to codes on show; a stored key must not stand for one.
    if (identity.starts_with(pairingPrefix)) continue;
    const auto key = co_await store->key(identity);
    if (key) keys.push_back({identity, *key});
  }
  co_return keys;
}

std::vector<SecureChannel::Key> ClientTransport::keyList(std::vector<SecureChannel::Key> keys) {
  if (pairingCode_ && pairingHost_ && localHello_.uid) {
    keys.push_back({PairingCode::pairingIdentity(*pairingHost_),
                    PairingCode::derivedKey(*pairingCode_, *pairingHost_, *localHello_.uid)});
  }
  return keys;
}

void ClientTransport::cancelSecure() {
  if (!secure_) return;
  secure_->listener->cancel();
  secure_.reset();  // withdraws the advertisement
}

}  // namespace brindlet::transport
