#pragma once

// A phone transport on loopback, driven on the test thread, and scripted computers that dial it
// with the framed connection, the hello handshake and the TLS dial. Both sides' events are
// kept as texts so that tests compare whole sequences.

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/io_context.hpp>

#include "LinkHarness.h"
#include "protocol/ControlEnvelope.h"
#include "runtime/Log.h"
#include "runtime/ManualClock.h"
#include "runtime/Task.h"
#include "transport/ClientTransport.h"
#include "transport/FrameConnection.h"
#include "transport/Handshake.h"
#include "transport/HostTransport.h"
#include "transport/MemoryPairingStore.h"
#include "transport/PairingCode.h"
#include "transport/TlsByteStream.h"

namespace brindlet::transport::testing {

namespace asio = boost::asio;
using namespace std::chrono_literals;

inline const std::string kPhoneUid = "PHONE-0001";
inline const std::string kMacA = "MAC-A";
inline const std::string kMacB = "MAC-B";

// One scripted computer's link and everything that arrived on it.
struct Computer {
  protocol::Hello hello;
  std::shared_ptr<FrameConnection> link;
  std::vector<std::string> seen;  // "hello(Phone)", "pairOK", "bye(busy)", "end", ...
  std::optional<runtime::Bytes> psk;
  bool ended = false;
};

inline void noteEnvelope(Computer& computer, const protocol::ControlEnvelope& envelope) {
  const auto& message = envelope.message;
  if (auto* hello = message.as<protocol::Hello>()) {
    computer.seen.push_back("hello(" + hello->name + ")");
  } else if (auto* ok = message.as<protocol::PairOK>()) {
    computer.seen.push_back("pairOK");
    computer.psk = ok->psk;
  } else if (auto* bye = message.as<protocol::Bye>()) {
    computer.seen.push_back("bye(" + bye->reason + ")");
  } else {
    computer.seen.push_back(std::string(message.type()));
  }
}

inline asio::awaitable<void> recordFrames(std::shared_ptr<Computer> computer) {
  auto link = computer->link;
  try {
    while (auto frame = co_await link->receive()) {
      if (frame->channel == protocol::Channel::control)
        noteEnvelope(*computer, protocol::ControlEnvelope::of(*frame));
    }
  } catch (...) {
  }
  computer->seen.push_back("end");
  computer->ended = true;
}

class PhoneHarness {
 public:
  asio::io_context io;
  runtime::LogCapture log;
  std::shared_ptr<runtime::ManualClock> clock = std::make_shared<runtime::ManualClock>();
  std::shared_ptr<MemoryPairingStore> store = std::make_shared<MemoryPairingStore>();
  std::shared_ptr<ClientTransport> transport;
  std::vector<std::string> events;
  std::vector<HostLink> hosts;
  std::uint16_t plainPort = 0;
  std::uint16_t securePort = 0;

  ~PhoneHarness() {
    if (transport) {
      auto t = transport;
      run(t->stop("backgrounded"));
      t->events()->cancel();  // the collector ends
      transport.reset();
    }
    for (auto& h : hosts) h.connection->connection()->cancel();
    hosts.clear();
    for (auto& c : computers_) c->link->connection()->cancel();
    drainFor(100ms);
  }

  void make(bool loopbackIsUSB, std::optional<std::string> uid = kPhoneUid,
            std::function<void(ClientTransport::Settings&)> adjust = {}) {
    ClientTransport::Settings settings;
    settings.localHello = helloFor("Phone", "iPhone15,2", std::move(uid));
    settings.store = store;
    settings.port = 0;
    settings.loopbackIsUSB = loopbackIsUSB;
    settings.advertise = false;
    settings.clock = clock;
    if (adjust) adjust(settings);
    transport = ClientTransport::make(io.get_executor(), std::move(settings));
    runtime::spawn(io.get_executor(), collect(transport->events(), this));
  }

  void makeAndStart(bool loopbackIsUSB) {
    make(loopbackIsUSB);
    start();
  }

  void start() {
    run(transport->start());
    plainPort = run(transport->plainListenerPort()).value_or(0);
    securePort = run(transport->secureListenerPort()).value_or(0);
    ASSERT_NE(plainPort, 0);
    ASSERT_NE(securePort, 0);
  }

  bool waitUntil(const std::function<bool()>& done, std::chrono::milliseconds limit = 10s) {
    return brindlet::testing::runUntil(io, done, limit);
  }
  void drainFor(std::chrono::milliseconds time) {
    waitUntil([] { return false; }, time);
  }
  template <class T>
  T run(asio::awaitable<T> operation) {
    return brindlet::testing::runUntilDone(io, std::move(operation));
  }

  // A computer dials the phone: plain when no key is given, else TLS with that key. With
  // `sayHello` it runs the hello exchange first. Throws what the dial or the exchange threw.
  std::shared_ptr<Computer> dial(std::string name, std::optional<std::string> uid,
                                 std::optional<SecureChannel::Key> key, bool sayHello = true) {
    auto computer = std::make_shared<Computer>();
    computer->hello = helloFor(std::move(name), "computer", std::move(uid));
    const auto port = key ? securePort : plainPort;
    ConnectionParameters parameters =
        key ? secureTls(SecureChannel::parameters({*key})) : plainTcp();
    computer->link = run(FrameConnection::connect(
        io.get_executor(), runtime::Endpoint::hostPort("127.0.0.1", port), parameters, 5s));
    computers_.push_back(computer);
    if (sayHello) {
      auto hello = run(Handshake::run(computer->link, computer->hello, 5s));
      noteEnvelope(*computer, protocol::ControlEnvelope(0, hello));
    }
    runtime::spawn(io.get_executor(), recordFrames(computer));
    return computer;
  }

  // The error a dial ends with; none when it succeeded.
  std::optional<TransportError> dialFails(std::optional<SecureChannel::Key> key) {
    try {
      dial("Mac", kMacA, std::move(key), false);
    } catch (const TransportError& e) {
      return e;
    }
    return std::nullopt;
  }

  void closeFromComputer(Computer& computer, std::string reason) {
    run(computer.link->close(std::move(reason)));
  }

  bool endOf(const Computer& computer) {
    return waitUntil([&] { return computer.ended; });
  }
  bool hasEvents(std::size_t count) {
    return waitUntil([&] { return events.size() >= count; });
  }
  bool logged(const std::string& message, runtime::LogLevel level = runtime::LogLevel::info) {
    return waitUntil([&] {
      auto all = log.messages("transport", level);
      return std::find(all.begin(), all.end(), message) != all.end();
    });
  }
  std::size_t countLogged(const std::string& message) const {
    auto all = log.messages("transport", runtime::LogLevel::info);
    return std::count(all.begin(), all.end(), message);
  }

 private:
  static asio::awaitable<void> collect(ClientTransportEventStream stream, PhoneHarness* harness) {
    while (auto event = co_await stream->next()) {
      harness->events.push_back(textOf(*event));
      if (auto* c = std::get_if<ClientTransportEvents::Connected>(&*event)) {
        harness->hosts.push_back(c->link);
      }
    }
  }

  std::vector<std::shared_ptr<Computer>> computers_;
};

// The key a computer derives from the code it was shown, under the pairing identity.
inline SecureChannel::Key pairingKey(const std::string& code, const std::string& macUid = kMacA) {
  return {PairingCode::pairingIdentity(macUid), PairingCode::derivedKey(code, macUid, kPhoneUid)};
}

// The code of the latest "pairing(code, host)" event.
inline std::string codeIn(const std::string& event) {
  auto open = event.find('(');
  return event.substr(open + 1, 6);
}

// Mac A asks the phone to pair: its request link, and the code the phone shows.
inline std::pair<std::shared_ptr<Computer>, std::string> requestPairing(PhoneHarness& phone) {
  auto request = phone.dial("Mac A", kMacA, std::nullopt);
  EXPECT_TRUE(phone.hasEvents(1));
  return {request, phone.events.empty() ? std::string() : codeIn(phone.events[0])};
}

// The computer's host transport (Wi-Fi browsing off) and a started phone transport, both ours, on
// loopback.
struct HostAndPhone {
  PhoneHarness phone;
  std::shared_ptr<MemoryPairingStore> hostStore = std::make_shared<MemoryPairingStore>();
  std::shared_ptr<HostTransport> host;

  HostAndPhone() {
    phone.makeAndStart(/*loopbackIsUSB=*/false);
    HostTransportSettings settings;
    settings.localHello = helloFor("Mac A", "computer", kMacA);
    settings.store = hostStore;
    settings.wifi = false;
    host = HostTransport::make(phone.io.get_executor(), settings);
  }
  ~HostAndPhone() { host->events()->cancel(); }

  // The phone as the computer's browse would list it.
  NearbyPhone nearby() {
    BonjourService service;
    service.name = "Phone";
    service.endpoint = {"Phone", "_velvane._tcp", "local", 1, "127.0.0.1", phone.securePort};
    NearbyPhone p;
    p.name = "Phone";
    p.uid = kPhoneUid;
    p.secure = service;
    p.pairPort = phone.plainPort;
    p.isPaired = phone.run(hostStore->key(kPhoneUid)).has_value();
    return p;
  }

  // What the host session does with pairOK: keeps the key under the phone's identity.
  void keepPairOK(const ClientLink& link) {
    auto frame = phone.run(link.connection->receive());
    ASSERT_TRUE(frame);
    const auto envelope = protocol::ControlEnvelope::of(*frame);
    auto* ok = envelope.message.as<protocol::PairOK>();
    ASSERT_TRUE(ok);
    phone.run(hostStore->save(SymmetricKey(ok->psk), kPhoneUid));
  }
};

}  // namespace brindlet::transport::testing
