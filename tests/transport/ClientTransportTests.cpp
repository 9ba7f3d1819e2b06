// Whole links between the phone transport and scripted computers on loopback: USB-style plain
// links, Wi-Fi links with a stored key, pairing with codes, lock-out and refusals.

#include <gtest/gtest.h>

#include <boost/asio/ip/tcp.hpp>

#include "PhoneHarness.h"

namespace brindlet::transport::testing {
namespace {

using Strings = std::vector<std::string>;

bool sawAll(PhoneHarness& phone, Computer& computer, std::size_t count) {
  return phone.waitUntil([&] { return computer.seen.size() >= count; });
}

TEST(ClientTransportUsb, LoopbackHostIsTakenAsUsbAndReceivesItsKey) {
  struct Case {
    const char* name;
    std::optional<std::string> uid;
    bool keyStored;
    Strings computerSees;
    bool newKey;
  };
  const Case cases[] = {
      {"first link stores a new key", kMacA, false, {"hello(Phone)", "pairOK"}, true},
      {"known host gets its stored key", kMacA, true, {"hello(Phone)", "pairOK"}, false},
      {"host without identity gets no key", std::nullopt, false, {"hello(Phone)"}, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    PhoneHarness phone;
    if (c.keyStored) phone.run(phone.store->save(keyFilled(5), kMacA));
    phone.makeAndStart(/*loopbackIsUSB=*/true);

    auto mac = phone.dial("Mac A", c.uid, std::nullopt);
    ASSERT_TRUE(phone.hasEvents(2));
    ASSERT_TRUE(sawAll(phone, *mac, c.computerSees.size()));
    EXPECT_EQ(mac->seen, c.computerSees);
    EXPECT_EQ(phone.events, (Strings{"connecting", "connected(Mac A, USB)"}));
    EXPECT_TRUE(phone.hosts.at(0).isUSB);
    EXPECT_TRUE(phone.logged("Host Mac A connected over USB"));
    EXPECT_EQ(phone.countLogged("Paired with a new host"), c.newKey ? 1u : 0u);
    if (c.uid) {
      ASSERT_TRUE(mac->psk);
      EXPECT_EQ(mac->psk->size(), 32u);
      EXPECT_EQ(phone.run(phone.store->key(kMacA)), SymmetricKey(*mac->psk));
      if (c.keyStored) {
        EXPECT_EQ(SymmetricKey(*mac->psk), keyFilled(5));
      }
      // The key is accepted on the TLS listener at once (the phone is busy, but the TLS
      // handshake passes).
      auto again = phone.dial("Mac A", kMacA, SecureChannel::Key{kMacA, SymmetricKey(*mac->psk)},
                              /*sayHello=*/false);
      EXPECT_TRUE(phone.endOf(*again));
      EXPECT_EQ(again->seen, (Strings{"bye(busy)", "end"}));
    }

    phone.closeFromComputer(*mac, "userDisconnected");
    ASSERT_TRUE(phone.hasEvents(3));
    EXPECT_EQ(phone.events.back(), "disconnected(closed)");
  }
}

TEST(ClientTransportWifi, StoredKeyLinksOnlyForTheKeysOwner) {
  struct Case {
    const char* name;
    std::optional<std::string> helloUid;
    Strings phoneEvents;
    Strings computerSees;
  };
  const Case cases[] = {
      {"owner", kMacA, {"connecting", "connected(Mac A, Wi-Fi)"}, {"hello(Phone)", "pairOK"}},
      {"another computer's identity",
       kMacB,
       {"connecting", "disconnected(hello failed)"},
       {"hello(Phone)", "bye(protocolViolation)", "end"}},
      {"no identity",
       std::nullopt,
       {"connecting", "disconnected(hello failed)"},
       {"hello(Phone)", "bye(protocolViolation)", "end"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    PhoneHarness phone;
    phone.run(phone.store->save(keyFilled(1), kMacA));
    phone.run(phone.store->save(keyFilled(2), kMacB));
    phone.makeAndStart(/*loopbackIsUSB=*/false);

    auto mac = phone.dial("Mac A", c.helloUid, SecureChannel::Key{kMacA, keyFilled(1)});
    ASSERT_TRUE(phone.hasEvents(c.phoneEvents.size()));
    ASSERT_TRUE(sawAll(phone, *mac, c.computerSees.size()));
    EXPECT_EQ(phone.events, c.phoneEvents);
    EXPECT_EQ(mac->seen, c.computerSees);
    if (mac->psk) {
      EXPECT_EQ(SymmetricKey(*mac->psk), keyFilled(1));  // never B's key
    }
    EXPECT_EQ(phone.countLogged("Paired with a new host"), 0u);
  }
}

TEST(ClientTransportWifi, UnknownKeyFailsTheHandshakeWithoutEvents) {
  PhoneHarness phone;
  phone.run(phone.store->save(keyFilled(1), kMacA));
  phone.makeAndStart(false);
  EXPECT_TRUE(phone.dialFails(SecureChannel::Key{kMacA, keyFilled(9)}));
  EXPECT_TRUE(phone.dialFails(SecureChannel::Key{"MAC-UNKNOWN", keyFilled(1)}));
  // A stored key never stands for a pairing identity.
  phone.run(phone.store->save(keyFilled(3), PairingCode::pairingIdentity(kMacA)));
  phone.run(phone.transport->restartSecure());
  EXPECT_TRUE(
      phone.dialFails(SecureChannel::Key{PairingCode::pairingIdentity(kMacA), keyFilled(3)}));
  phone.drainFor(100ms);
  EXPECT_TRUE(phone.events.empty());
}

TEST(ClientTransportPairing, CodeKeyPairOKThenTheCodesKeyIsGone) {
  PhoneHarness phone;
  phone.makeAndStart(false);

  const auto [request, code] = requestPairing(phone);
  EXPECT_EQ(phone.events[0], "pairing(" + code + ", Mac A)");
  EXPECT_EQ(phone.run(phone.transport->currentCode()), code);
  EXPECT_TRUE(phone.logged("Mac A asked to pair; showing a code"));

  auto paired = phone.dial("Mac A", kMacA, pairingKey(code));
  ASSERT_TRUE(phone.hasEvents(4));
  EXPECT_EQ(phone.events, (Strings{"pairing(" + code + ", Mac A)", "connecting",
                                   "pairingEnded(lockedOut: false)", "connected(Mac A, Wi-Fi)"}));
  ASSERT_TRUE(sawAll(phone, *paired, 2));
  EXPECT_EQ(paired->seen, (Strings{"hello(Phone)", "pairOK"}));
  ASSERT_TRUE(phone.endOf(*request));
  EXPECT_EQ(request->seen, (Strings{"hello(Phone)", "bye(pairingEnded)", "end"}));
  EXPECT_EQ(phone.run(phone.store->key(kMacA)), SymmetricKey(*paired->psk));
  EXPECT_EQ(phone.run(phone.transport->currentCode()), std::nullopt);
  EXPECT_EQ(phone.countLogged("Paired with a new host"), 1u);
  // The code's key is gone from the listener (the issued key links: PhoneHostLinkTests).
  EXPECT_TRUE(phone.dialFails(pairingKey(code)));
}

TEST(ClientTransportPairing, WrongCodesAreCountedAndTheThirdLocksOut) {
  struct Case {
    int wrongCodes;
    bool thenRightCode;
    Strings events;  // after the pairing event
    std::string requestEnd;
  };
  const Case cases[] = {
      {2,
       true,
       {"connecting", "pairingEnded(lockedOut: false)", "connected(Mac A, Wi-Fi)"},
       "bye(pairingEnded)"},
      {3, false, {"pairingEnded(lockedOut: true)"}, "bye(pairingLockedOut)"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.wrongCodes);
    PhoneHarness phone;
    phone.makeAndStart(false);
    const auto [request, code] = requestPairing(phone);
    const std::string wrong = code == "000000" ? "000001" : "000000";
    for (int n = 1; n <= c.wrongCodes; ++n) {
      EXPECT_TRUE(phone.dialFails(pairingKey(wrong)));
      EXPECT_TRUE(phone.logged("Wrong pairing code (" + std::to_string(n) + " of 3)"));
    }
    if (c.thenRightCode) phone.dial("Mac A", kMacA, pairingKey(code));
    ASSERT_TRUE(phone.hasEvents(1 + c.events.size()));
    EXPECT_EQ(Strings(phone.events.begin() + 1, phone.events.end()), c.events);
    ASSERT_TRUE(phone.endOf(*request));
    EXPECT_EQ(request->seen, (Strings{"hello(Phone)", c.requestEnd, "end"}));
    if (c.thenRightCode) continue;

    // Locked: refused before any hello, and the lock lasts 30 seconds on the clock.
    auto early = phone.dial("Mac A", kMacA, std::nullopt, /*sayHello=*/false);
    ASSERT_TRUE(phone.endOf(*early));
    EXPECT_EQ(early->seen, (Strings{"bye(pairingLockedOut)", "end"}));
    phone.clock->advance(29s);
    auto stillEarly = phone.dial("Mac A", kMacA, std::nullopt, false);
    ASSERT_TRUE(phone.endOf(*stillEarly));
    EXPECT_EQ(stillEarly->seen, (Strings{"bye(pairingLockedOut)", "end"}));
    phone.clock->advance(1s);
    phone.dial("Mac A", kMacA, std::nullopt);
    ASSERT_TRUE(phone.hasEvents(3));
    EXPECT_TRUE(phone.events[2].starts_with("pairing(")) << phone.events[2];
  }
}

TEST(ClientTransportPairing, ClosedRequestEndsPairingAndDropsTheCodesKey) {
  PhoneHarness phone;
  phone.makeAndStart(false);
  const auto [request, code] = requestPairing(phone);
  phone.closeFromComputer(*request, "userDisconnected");
  ASSERT_TRUE(phone.hasEvents(2));
  EXPECT_EQ(phone.events[1], "pairingEnded(lockedOut: false)");
  EXPECT_TRUE(phone.dialFails(pairingKey(code)));
  phone.drainFor(50ms);
  EXPECT_EQ(phone.countLogged("Wrong pairing code (1 of 3)"), 0u);  // no code shows
}

TEST(ClientTransportPairing, RequestsWithoutIdentitiesAreRefused) {
  struct Case {
    const char* name;
    std::optional<std::string> phoneUid;
    std::optional<std::string> computerUid;
  };
  const Case cases[] = {{"computer without uid", kPhoneUid, std::nullopt},
                        {"phone without uid", std::nullopt, kMacA}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    PhoneHarness phone;
    phone.make(false, c.phoneUid);
    phone.start();
    auto request = phone.dial("Mac A", c.computerUid, std::nullopt);
    ASSERT_TRUE(phone.endOf(*request));
    EXPECT_EQ(request->seen, (Strings{"hello(Phone)", "bye(protocolViolation)", "end"}));
    EXPECT_TRUE(phone.events.empty());
  }
}

TEST(ClientTransportBusy, SecondHostAndSecondRequestAreRefusedBeforeHello) {
  PhoneHarness phone;
  phone.makeAndStart(/*loopbackIsUSB=*/true);
  auto first = phone.dial("Mac A", kMacA, std::nullopt);
  ASSERT_TRUE(phone.hasEvents(2));
  auto second = phone.dial("Mac B", kMacB, std::nullopt, /*sayHello=*/false);
  ASSERT_TRUE(phone.endOf(*second));
  EXPECT_EQ(second->seen, (Strings{"bye(busy)", "end"}));
  EXPECT_TRUE(phone.logged("Refusing a second host: busy"));
  EXPECT_EQ(phone.events, (Strings{"connecting", "connected(Mac A, USB)"}));

  // The live host is untouched.
  protocol::ControlMessage ping(protocol::Ping{1.5});
  phone.hosts.at(0).connection->sendControl(ping);
  ASSERT_TRUE(sawAll(phone, *first, 3));
  EXPECT_EQ(first->seen.back(), "ping");
}

TEST(ClientTransportBusy, SecondPairingRequestLeavesTheFirstCodeValid) {
  PhoneHarness phone;
  phone.makeAndStart(false);
  const auto [first, code] = requestPairing(phone);
  auto second = phone.dial("Mac B", kMacB, std::nullopt, /*sayHello=*/false);
  ASSERT_TRUE(phone.endOf(*second));
  EXPECT_EQ(second->seen, (Strings{"bye(busy)", "end"}));
  phone.dial("Mac A", kMacA, pairingKey(code));
  ASSERT_TRUE(phone.hasEvents(4));
  EXPECT_EQ(phone.events.back(), "connected(Mac A, Wi-Fi)");
}

// Stop ends the link in every state with its own bye, closes the listeners, reports nothing, and
// a later start listens afresh.
TEST(ClientTransportStop, StopEndsTheLinkAndTheListenersWithoutEvents) {
  struct Case {
    const char* name;
    bool usb, sayHello;
    const char* reason;
    Strings seen;
    std::string lastEvent;
  };
  const Case cases[] = {
      {"linked host",
       true,
       true,
       "backgrounded",
       {"hello(Phone)", "pairOK", "bye(backgrounded)", "end"},
       "connected(Mac A, USB)"},
      {"host during the hello",
       true,
       false,
       "userDisconnected",
       {"hello(Phone)", "bye(userDisconnected)", "end"},
       "connecting"},
      {"pairing request",
       false,
       true,
       "backgrounded",
       {"hello(Phone)", "bye(pairingEnded)", "end"},
       "pairingEnded(lockedOut: false)"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    PhoneHarness phone;
    phone.makeAndStart(c.usb);
    auto mac = phone.dial("Mac A", kMacA, std::nullopt, c.sayHello);
    ASSERT_TRUE(phone.hasEvents(c.usb && c.sayHello ? 2 : 1));
    ASSERT_TRUE(sawAll(phone, *mac, 1));  // the phone's hello
    phone.run(phone.transport->stop(c.reason));
    protocol::ControlMessage hello(mac->hello);
    if (!c.sayHello) mac->link->sendControl(hello);
    ASSERT_TRUE(phone.endOf(*mac));
    EXPECT_EQ(mac->seen, c.seen);
    EXPECT_FALSE(phone.run(phone.transport->isListening()));
    EXPECT_EQ(phone.run(phone.transport->secureListenerPort()), std::nullopt);
    EXPECT_TRUE(phone.logged("Stopped listening (" + std::string(c.reason) + ")"));
    EXPECT_TRUE(phone.dialFails(std::nullopt));
    phone.drainFor(50ms);
    EXPECT_EQ(phone.events.back(), c.lastEvent);
    phone.start();
    EXPECT_TRUE(phone.run(phone.transport->isListening()));
  }
}

TEST(ClientTransportListeners, PortsLogTxtAndRestartsKeepTheSecurePort) {
  PhoneHarness phone;
  phone.make(false, std::nullopt);
  phone.start();
  const std::string listening = "Listening on " + std::to_string(phone.plainPort) + " and " +
                                std::to_string(phone.securePort) + " (TLS) as Phone";
  EXPECT_TRUE(phone.logged(listening));
  phone.start();  // already started: nothing happens
  EXPECT_EQ(phone.countLogged(listening), 1u);
  EXPECT_EQ(phone.transport->txtRecord(),
            (std::map<std::string, std::string>{
                {"name", "Phone"}, {"model", "iPhone15,2"}, {"proto", "1"}}));

  phone.run(phone.transport->restartSecure());
  EXPECT_EQ(phone.run(phone.transport->secureListenerPort()), phone.securePort);
  phone.run(phone.transport->stop("backgrounded"));
  phone.start();
  EXPECT_EQ(phone.run(phone.transport->secureListenerPort()), phone.securePort);
}

TEST(ClientTransportListeners, ForgetAllAndOverlappingRebuildsEndWithTheNewestKeysAndStopWins) {
  struct Case {
    const char* name;
    bool thenStop;  // else: forget every key
  };
  for (const auto c :
       {Case{"forget during a rebuild", false}, Case{"stop during a rebuild", true}}) {
    SCOPED_TRACE(c.name);
    PhoneHarness phone;
    phone.run(phone.store->save(keyFilled(1), kMacA));
    phone.makeAndStart(false);
    int done = 0;
    auto count = [&](std::exception_ptr) { ++done; };
    asio::co_spawn(phone.io, phone.transport->restartSecure(), count);
    if (c.thenStop) {
      asio::co_spawn(phone.io, phone.transport->stop("backgrounded"), count);
    } else {
      asio::co_spawn(phone.io, phone.transport->forgetAll(), count);
    }
    ASSERT_TRUE(phone.waitUntil([&] { return done == 2; }));
    EXPECT_EQ(phone.clock->sleeperCount(), 0u);  // no rebuild had to wait for a busy port
    EXPECT_EQ(phone.run(phone.transport->secureListenerPort()).has_value(), !c.thenStop);
    EXPECT_TRUE(phone.dialFails(SecureChannel::Key{kMacA, keyFilled(1)}));
    EXPECT_EQ(phone.run(phone.store->identities()).empty(), !c.thenStop);
    EXPECT_TRUE(c.thenStop || phone.logged("Forgot every paired computer"));
  }
  PhoneHarness stopped;  // not started: nothing to restart, still logged
  stopped.make(false);
  stopped.run(stopped.transport->forgetAll());
  EXPECT_TRUE(stopped.logged("Forgot every paired computer"));
}

TEST(ClientTransportListeners, TlsPortInUseIsRetriedEvery50msThenFails) {
  struct Case {
    int pausesBeforeRelease;  // -1: never released
  };
  for (const auto c : {Case{2}, Case{-1}}) {
    SCOPED_TRACE(c.pausesBeforeRelease);
    PhoneHarness phone;
    phone.makeAndStart(false);
    phone.run(phone.transport->stop("backgrounded"));
    phone.drainFor(20ms);  // the listeners close on their own queue
    boost::asio::ip::tcp::acceptor blocker(
        phone.io, {boost::asio::ip::make_address("127.0.0.1"), phone.securePort});

    bool done = false;
    std::exception_ptr error;
    asio::co_spawn(phone.io, phone.transport->start(), [&](std::exception_ptr e) {
      error = e;
      done = true;
    });
    int pauses = 0;
    for (; pauses < 10; ++pauses) {
      ASSERT_TRUE(phone.waitUntil([&] { return done || phone.clock->sleeperCount() == 1; }));
      if (done) break;
      if (pauses == c.pausesBeforeRelease) blocker.close();
      phone.clock->advance(50ms);
    }
    ASSERT_TRUE(phone.waitUntil([&] { return done; }));
    EXPECT_EQ(pauses, c.pausesBeforeRelease < 0 ? 10 : c.pausesBeforeRelease + 1);
    EXPECT_TRUE(phone.run(phone.transport->isListening()));  // the plain listener stays
    if (c.pausesBeforeRelease < 0) {
      auto failure = transportErrorOf(error);
      ASSERT_TRUE(failure);
      EXPECT_EQ(failure->kind(), TransportError::Case::connectionFailed);
      EXPECT_EQ(failure->detail(), "Address already in use");
      EXPECT_TRUE(phone.logged(
          "Listener on " + std::to_string(phone.securePort) + ": Address already in use",
          runtime::LogLevel::error));
    } else {
      EXPECT_FALSE(error);
      EXPECT_EQ(phone.run(phone.transport->secureListenerPort()), phone.securePort);
    }
  }
}

}  // namespace
}  // namespace brindlet::transport::testing
