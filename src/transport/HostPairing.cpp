// The computer's side of pairing: ask a phone for a code, then dial it with a key derived from
// the code the user typed.

#include <mutex>

#include <boost/asio/this_coro.hpp>

#include "protocol/ControlEnvelope.h"
#include "protocol/Enums.h"
#include "runtime/OneShot.h"
#include "transport/HostTransport.h"
#include "transport/PairingCode.h"
#include "transport/SecureChannel.h"
#include "transport/TlsByteStream.h"

namespace brindlet::transport {

namespace asio = boost::asio;
using namespace std::chrono_literals;

namespace {
constexpr auto kRequestDialTimeout = 5s;
constexpr auto kCompletionDialTimeout = 4s;
}  // namespace

// Reads the request link, which nothing else reads: a phone that stops taking codes says so in
// its bye before it ends the link, and the link's own close reason cannot tell that apart from
// any other end.
class PairingRequestReader : public std::enable_shared_from_this<PairingRequestReader> {
 public:
  static std::shared_ptr<PairingRequestReader> start(const asio::any_io_executor& executor,
                                                     std::shared_ptr<FrameConnection> request) {
    std::shared_ptr<PairingRequestReader> reader(new PairingRequestReader());
    runtime::spawn(executor, read(reader, std::move(request)));
    return reader;
  }

  // How the request ended: the phone's bye reason, else the link's close reason. Waits until
  // the reader has taken every frame the link delivered.
  asio::awaitable<std::string> ending() {
    auto waiter = runtime::OneShot<std::string>::make();
    {
      std::lock_guard lock(mutex_);
      if (ending_) co_return *ending_;
      waiters_.push_back(waiter);
    }
    co_return co_await waiter->wait();
  }

 private:
  PairingRequestReader() = default;

  static asio::awaitable<void> read(std::shared_ptr<PairingRequestReader> self,
                                    std::shared_ptr<FrameConnection> request) {
    std::optional<std::string> bye;
    try {
      while (auto frame = co_await request->receive()) {
        if (bye || frame->channel != protocol::Channel::control) continue;
        try {
          auto envelope = protocol::ControlEnvelope::of(*frame);
          if (auto* message = envelope.message.as<protocol::Bye>()) bye = message->reason;
        } catch (const protocol::ProtocolError&) {
          // Not a message this side reads; the request carries nothing it needs.
        }
      }
    } catch (...) {
      // The link failed; its close reason tells how.
    }
    // Not a conditional around co_await: g++ 12 destroys its result twice.
    std::string reason;
    if (bye) {
      reason = *bye;
    } else {
      reason = co_await request->closed();
    }
    self->finish(std::move(reason));
  }

  void finish(std::string reason) {
    std::vector<std::shared_ptr<runtime::OneShot<std::string>>> waiters;
    {
      std::lock_guard lock(mutex_);
      ending_ = reason;
      waiters.swap(waiters_);
    }
    for (auto& w : waiters) w->resume(reason);
  }

  std::mutex mutex_;
  std::optional<std::string> ending_;
  std::vector<std::shared_ptr<runtime::OneShot<std::string>>> waiters_;
};

// The phone's pairing port at the address the browse resolved along with its service.
runtime::Endpoint HostTransport::pairingEndpoint(const NearbyPhone& phone,
                                                 const protocol::Hello& localHello) {
  if (!phone.secure || !phone.pairPort || !localHello.uid)
    throw TransportError::connectionFailed(phone.name + " can't pair over Wi-Fi");
  auto endpoint = dialEndpoint(phone.secure->endpoint);
  if (endpoint.host.empty())
    throw TransportError::connectionFailed("couldn't find the phone's address");
  endpoint.port = *phone.pairPort;
  return endpoint;
}

asio::awaitable<PairingAttempt> HostTransport::requestPairingNow(NearbyPhone phone) {
  auto endpoint = pairingEndpoint(phone, settings_.localHello);
  auto tcp = plainTcp();
  auto options = linkOptions();
  auto request = co_await FrameConnection::connect(executor_, std::move(endpoint), std::move(tcp),
                                                   kRequestDialTimeout, std::move(options));
  co_await Handshake::run(request, settings_.localHello, settings_.helloTimeout);
  transportLog().info("Asked %s to pair", phone.name.c_str());
  PairingAttempt attempt{std::move(phone), std::move(request), nullptr};
  attempt.reader = PairingRequestReader::start(strand_, attempt.request);
  co_return attempt;
}

asio::awaitable<ClientLink> HostTransport::completePairingNow(PairingAttempt attempt,
                                                              std::string code) {
  const NearbyPhone& phone = attempt.phone;
  const auto& macUid = settings_.localHello.uid;
  if (!phone.secure || !phone.uid || !macUid)
    throw TransportError::connectionFailed(phone.name + " isn't reachable");
  SecureChannel::Key key{PairingCode::pairingIdentity(*macUid),
                         PairingCode::derivedKey(code, *macUid, *phone.uid)};
  auto endpoint = dialEndpoint(phone.secure->endpoint);
  auto tls = secureTls(SecureChannel::parameters({std::move(key)}));
  auto options = linkOptions();
  std::shared_ptr<FrameConnection> connection;
  try {
    connection = co_await FrameConnection::connect(executor_, std::move(endpoint), std::move(tls),
                                                   kCompletionDialTimeout, std::move(options));
  } catch (...) {
    // Every failed dial counts as a wrong code; the request link tells a lock-out apart.
  }
  if (!connection) {
    // A caller that gave up learns nothing about the code.
    auto cancellation = co_await asio::this_coro::cancellation_state;
    if (cancellation.cancelled() != asio::cancellation_type::none) throw TransportError::closed();
    if (attempt.request->isClosed()) {
      std::string ending;
      if (attempt.reader) {
        ending = co_await attempt.reader->ending();
      } else {
        ending = co_await attempt.request->closed();
      }
      if (ending == protocol::ByeReason::pairingLockedOut) throw TransportError::pairingLockedOut();
    }
    throw TransportError::wrongCode();
  }
  failures_.erase(*phone.uid);
  auto route = Route::wifi(phone.name);
  auto uid = phone.uid;
  std::function<bool()> stays;
  auto link = co_await attach(connection, std::move(route), std::move(stays), std::move(uid));
  watch(link);
  std::optional<std::string> reason(protocol::ByeReason::pairingEnded);
  co_await attempt.request->close(std::move(reason));
  co_return link;
}

}  // namespace brindlet::transport
