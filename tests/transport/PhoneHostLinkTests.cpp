// The computer's host transport and the phone transport, both ours, linked on loopback: pairing
// with a code, wrong codes up to the lock-out, and the paired Wi-Fi dial with the issued key.

#include <gtest/gtest.h>

#include "PhoneHarness.h"
#include "transport/HostTransport.h"

namespace brindlet::transport::testing {
namespace {

using Strings = std::vector<std::string>;

struct Linked {
  PhoneHarness phone;
  std::shared_ptr<MemoryPairingStore> hostStore = std::make_shared<MemoryPairingStore>();
  std::shared_ptr<HostTransport> host;

  Linked() {
    phone.makeAndStart(/*loopbackIsUSB=*/false);
    HostTransportSettings settings;
    settings.localHello = helloFor("Mac A", "computer", kMacA);
    settings.store = hostStore;
    settings.wifi = false;
    host = HostTransport::make(phone.io.get_executor(), settings);
  }
  ~Linked() { host->events()->cancel(); }

  // The phone as the computer's browse would list it.
  NearbyPhone nearby() const {
    BonjourService service;
    service.name = "Phone";
    service.endpoint = {"Phone", "_velvane._tcp", "local", 1, "127.0.0.1", phone.securePort};
    NearbyPhone p;
    p.name = "Phone";
    p.uid = kPhoneUid;
    p.secure = service;
    p.pairPort = phone.plainPort;
    p.isPaired = hostStore->key(kPhoneUid).has_value();
    return p;
  }

  // What the host session does with pairOK: keeps the key under the phone's identity.
  void keepPairOK(const ClientLink& link) {
    auto frame = phone.run(link.connection->receive());
    ASSERT_TRUE(frame);
    const auto envelope = frame->controlEnvelope();
    auto* ok = envelope.message.as<protocol::PairOK>();
    ASSERT_TRUE(ok);
    hostStore->save(SymmetricKey(ok->psk), kPhoneUid);
  }
};

TEST(PhoneHostLink, PairingWithTheCodeThenThePairedWifiLink) {
  Linked l;
  auto attempt = l.phone.run(l.host->requestPairing(l.nearby()));
  ASSERT_TRUE(l.phone.hasEvents(1));
  const std::string code = codeIn(l.phone.events[0]);
  auto link = l.phone.run(l.host->completePairing(attempt, code));
  EXPECT_EQ(link.hello.name, "Phone");
  l.keepPairOK(link);
  ASSERT_TRUE(l.phone.hasEvents(4));
  EXPECT_EQ(l.phone.events, (Strings{"pairing(" + code + ", Mac A)", "connecting",
                                     "pairingEnded(lockedOut: false)", "connected(Mac A, Wi-Fi)"}));
  EXPECT_EQ(l.hostStore->key(kPhoneUid), l.phone.store->key(kMacA));

  l.phone.run(link.connection->close(std::string("userDisconnected")));
  ASSERT_TRUE(l.phone.hasEvents(5));
  auto again = l.phone.run(l.host->connect(l.nearby()));
  ASSERT_TRUE(l.phone.hasEvents(7));
  EXPECT_EQ(Strings(l.phone.events.begin() + 4, l.phone.events.end()),
            (Strings{"disconnected(closed)", "connecting", "connected(Mac A, Wi-Fi)"}));
  EXPECT_EQ(again.hello.uid, kPhoneUid);
}

TEST(PhoneHostLink, WrongCodesThenLockOutAsTheComputerSeesThem) {
  Linked l;
  auto attempt = l.phone.run(l.host->requestPairing(l.nearby()));
  ASSERT_TRUE(l.phone.hasEvents(1));
  const std::string code = codeIn(l.phone.events[0]);
  const std::string wrong = code == "000000" ? "000001" : "000000";
  auto attemptWith = [&](const std::string& typed) -> std::optional<TransportError> {
    try {
      l.phone.run(l.host->completePairing(attempt, typed));
    } catch (const TransportError& error) {
      return error;
    }
    return std::nullopt;
  };
  for (int n = 1; n <= 2; ++n) {
    EXPECT_EQ(attemptWith(wrong), TransportError::wrongCode());
    EXPECT_TRUE(l.phone.logged("Wrong pairing code (" + std::to_string(n) + " of 3)"));
  }
  // The third failed handshake and the phone's lock-out bye race to the computer.
  const auto third = attemptWith(wrong);
  ASSERT_TRUE(third);
  EXPECT_TRUE(*third == TransportError::wrongCode() ||
              *third == TransportError::pairingLockedOut());
  ASSERT_TRUE(l.phone.hasEvents(2));
  EXPECT_EQ(l.phone.events[1], "pairingEnded(lockedOut: true)");
  EXPECT_EQ(attemptWith(code), TransportError::pairingLockedOut());  // the right code, too late
}

}  // namespace
}  // namespace brindlet::transport::testing
