#pragma once

// A phone for the host transport's tests: a TLS listener for hosts (paired keys, and the
// code-derived key while a code shows), a plain pairing listener and a plain host listener, all
// on loopback, built from FrameConnection and the handshake. It records what it sees.

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/use_awaitable.hpp>

#include "protocol/ControlEnvelope.h"
#include "protocol/Enums.h"
#include "runtime/OneShot.h"
#include "runtime/SocketByteStream.h"
#include "runtime/Task.h"
#include "transport/BonjourService.h"
#include "transport/FrameConnection.h"
#include "transport/Handshake.h"
#include "transport/PairingCode.h"
#include "transport/SecureChannel.h"
#include "transport/TlsByteStream.h"

namespace brindlet::transport::testing {

namespace asio = boost::asio;
using asio::ip::tcp;

// One link the phone holds, and what came over it.
struct PhoneLink {
  std::shared_ptr<FrameConnection> link;
  protocol::Hello hello;  // the host's
  std::string identity;   // the key identity the host used (TLS links)
  std::vector<std::string> byes;
  bool ended = false;
};

class ScriptedPhone {
 public:
  ScriptedPhone(asio::io_context& io, std::string name, std::string uid)
      : io_(io), name_(std::move(name)), uid_(std::move(uid)) {
    state_->name = name_;
    state_->uid = uid_;
    for (auto* acceptor : {&tls_, &pair_, &plain_}) {
      acceptor->open(tcp::v4());
      acceptor->bind({asio::ip::address_v4::loopback(), 0});
      acceptor->listen();
    }
    runtime::spawn(io_.get_executor(), acceptLoop(state_, tls_, Kind::tls));
    runtime::spawn(io_.get_executor(), acceptLoop(state_, pair_, Kind::request));
    runtime::spawn(io_.get_executor(), acceptLoop(state_, plain_, Kind::host));
  }

  // Stops listening and ends every link, so no task stays parked.
  ~ScriptedPhone() { shutDown(); }
  void shutDown() {
    boost::system::error_code ignored;
    tls_.close(ignored);
    pair_.close(ignored);
    plain_.close(ignored);
    for (auto& l : state_->hosts) l->link->connection()->cancel();
    for (auto& l : state_->requests) l->link->connection()->cancel();
    holdHellos(false);
  }

  const std::string& uid() const { return uid_; }
  std::uint16_t plainPort() const { return plain_.local_endpoint().port(); }

  // The phone's Bonjour service as the browse reports it.
  BonjourService service() const {
    BonjourService s;
    s.name = name_;
    s.endpoint = {name_, "_velvane._tcp", "local", 1, "127.0.0.1", tls_.local_endpoint().port()};
    s.txt = {{"name", name_}, {"model", "Phone15,2"}, {"proto", "1"}, {"uid", uid_}};
    s.txt["pair"] = std::to_string(pair_.local_endpoint().port());
    return s;
  }

  // Accepts this key from the host with this identity, in place of any earlier one.
  void trust(const std::string& macUid, const SymmetricKey& key) {
    std::erase_if(state_->keys, [&](const auto& k) { return k.identity == macUid; });
    state_->keys.push_back({macUid, key});
  }
  void showCode(const std::string& code, const std::string& macUid) {
    state_->pairing = SecureChannel::Key{PairingCode::pairingIdentity(macUid),
                                         PairingCode::derivedKey(code, macUid, uid_)};
    state_->wrongCodes = 0;
  }
  // TLS hosts wait after their TLS start, before their hello, until released.
  void holdHellos(bool hold) {
    state_->holdHellos = hold;
    if (hold) return;
    for (auto& h : state_->held) h->resume({});
    state_->held.clear();
  }
  std::size_t heldCount() const { return state_->held.size(); }

  const std::vector<std::shared_ptr<PhoneLink>>& hosts() const { return state_->hosts; }
  const std::vector<std::shared_ptr<PhoneLink>>& requests() const { return state_->requests; }
  int wrongCodes() const { return state_->wrongCodes; }
  int tlsFailures() const { return state_->tlsFailures; }

  // Ends a host link the way the phone app would, with or without a bye.
  asio::awaitable<void> dropHost(std::size_t index, std::optional<std::string> reason) {
    co_await state_->hosts.at(index)->link->close(std::move(reason));
  }

 private:
  enum class Kind { tls, request, host };

  struct State {
    std::string name, uid;
    std::vector<SecureChannel::Key> keys;
    std::optional<SecureChannel::Key> pairing;
    int wrongCodes = 0;
    int tlsFailures = 0;
    bool holdHellos = false;
    std::vector<std::shared_ptr<runtime::OneShot<std::monostate>>> held;
    std::vector<std::shared_ptr<PhoneLink>> hosts, requests;
  };

  static protocol::Hello helloOf(const State& state) {
    protocol::Hello hello;
    hello.proto = 1;
    hello.app = "1.0";
    hello.device = "phone";
    hello.name = state.name;
    hello.uid = state.uid;
    return hello;
  }

  static asio::awaitable<void> acceptLoop(std::shared_ptr<State> state, tcp::acceptor& acceptor,
                                          Kind kind) {
    for (;;) {
      auto socket = co_await acceptor.async_accept(asio::use_awaitable);
      auto executor = co_await asio::this_coro::executor;
      runtime::spawn(executor, serve(state, std::move(socket), kind));
    }
  }

  static asio::awaitable<void> serve(std::shared_ptr<State> state, tcp::socket socket, Kind kind) {
    std::shared_ptr<runtime::ByteStream> stream;
    std::shared_ptr<TlsByteStream> tls;
    if (kind == Kind::tls) {
      auto keys = state->keys;
      if (state->pairing) keys.push_back(*state->pairing);
      tls = TlsByteStream::adopt(std::move(socket), SecureChannel::parameters(keys));
      stream = tls;
    } else {
      stream = runtime::TcpByteStream::adopt(std::move(socket));
    }
    bool started = true;
    try {
      co_await startAndWait(stream, std::chrono::seconds(5));
    } catch (...) {
      started = false;
    }
    if (!started) {
      co_await tlsFailed(state);
      co_return;
    }
    auto phoneLink = std::make_shared<PhoneLink>();
    phoneLink->link = FrameConnection::make(stream);
    if (tls) phoneLink->identity = tls->pskIdentity();
    (kind == Kind::request ? state->requests : state->hosts).push_back(phoneLink);
    if (kind == Kind::tls && state->holdHellos) {
      auto held = runtime::OneShot<std::monostate>::make();
      state->held.push_back(held);
      co_await held->wait();
    }
    try {
      phoneLink->hello = co_await Handshake::run(phoneLink->link, helloOf(*state));
    } catch (...) {
    }
    if (phoneLink->identity.rfind("pair:", 0) == 0) state->pairing.reset();
    co_await readAll(phoneLink);
  }

  // A failed TLS start while a code shows is a wrong code; the third locks pairing.
  static asio::awaitable<void> tlsFailed(std::shared_ptr<State> state) {
    ++state->tlsFailures;
    if (!state->pairing) co_return;
    if (++state->wrongCodes < PairingCode::maxAttempts) co_return;
    state->pairing.reset();
    for (auto& r : state->requests) {
      std::optional<std::string> reason(protocol::ByeReason::pairingLockedOut);
      co_await r->link->close(std::move(reason));
    }
  }

  static asio::awaitable<void> readAll(std::shared_ptr<PhoneLink> phoneLink) {
    try {
      while (auto frame = co_await phoneLink->link->receive()) {
        if (frame->channel != protocol::Channel::control) continue;
        auto envelope = protocol::ControlEnvelope::of(*frame);
        if (auto* bye = envelope.message.as<protocol::Bye>())
          phoneLink->byes.push_back(bye->reason);
      }
    } catch (...) {
    }
    phoneLink->ended = true;
  }

  asio::io_context& io_;
  std::string name_, uid_;
  std::shared_ptr<State> state_ = std::make_shared<State>();
  tcp::acceptor tls_{io_}, pair_{io_}, plain_{io_};
};

}  // namespace brindlet::transport::testing
