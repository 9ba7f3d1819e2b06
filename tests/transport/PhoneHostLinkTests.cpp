// The computer's host transport and the phone transport, both ours, linked on loopback: pairing
// with a code, wrong codes up to the lock-out, the paired Wi-Fi dial with the issued key, and a
// USB link through a usbmuxd tunnel to the phone's plain port.

#include <gtest/gtest.h>

#include "PhoneHarness.h"
#include "support/Streams.h"
#include "transport/FakeUsbmuxd.h"
#include "transport/MemoryPairingStore.h"

namespace brindlet::transport::testing {
namespace {

using Strings = std::vector<std::string>;

TEST(PhoneHostLink, PairingWithTheCodeThenThePairedWifiLink) {
  HostAndPhone l;
  auto attempt = l.phone.run(l.host->requestPairing(l.nearby()));
  ASSERT_TRUE(l.phone.hasEvents(1));
  const std::string code = codeIn(l.phone.events[0]);
  auto link = l.phone.run(l.host->completePairing(attempt, code));
  EXPECT_EQ(link.hello.name, "Phone");
  l.keepPairOK(link);
  ASSERT_TRUE(l.phone.hasEvents(4));
  EXPECT_EQ(l.phone.events, (Strings{"pairing(" + code + ", Mac A)", "connecting",
                                     "pairingEnded(lockedOut: false)", "connected(Mac A, Wi-Fi)"}));
  EXPECT_EQ(l.phone.run(l.hostStore->key(kPhoneUid)), l.phone.run(l.phone.store->key(kMacA)));

  l.phone.run(link.connection->close(std::string("userDisconnected")));
  ASSERT_TRUE(l.phone.hasEvents(5));
  auto again = l.phone.run(l.host->connect(l.nearby()));
  ASSERT_TRUE(l.phone.hasEvents(7));
  EXPECT_EQ(Strings(l.phone.events.begin() + 4, l.phone.events.end()),
            (Strings{"disconnected(closed)", "connecting", "connected(Mac A, Wi-Fi)"}));
  EXPECT_EQ(again.hello.uid, kPhoneUid);
}

TEST(PhoneHostLink, WrongCodesThenLockOutAsTheComputerSeesThem) {
  HostAndPhone l;
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

std::string textOf(const HostTransportEvent& event) {
  switch (event.kind) {
    case HostTransportEvent::Kind::connected:
      return "connected(" + event.link->route.description() + ", " + event.link->hello.name + ")";
    case HostTransportEvent::Kind::disconnected:
      return "disconnected(" + event.route->description() + ", " + event.reason + ")";
    case HostTransportEvent::Kind::nearby:
      break;
  }
  return "nearby";
}

asio::awaitable<void> collectTexts(std::shared_ptr<HostTransportEvents> events, Strings* out) {
  while (auto event = co_await events->next()) out->push_back(textOf(*event));
}

// What the phone app reads on its host link: the reasons of the byes that come.
asio::awaitable<void> collectByes(std::shared_ptr<FrameConnection> link, Strings* out) {
  while (auto frame = co_await link->receive()) {
    if (frame->channel != protocol::Channel::control) continue;
    const auto envelope = protocol::ControlEnvelope::of(*frame);
    if (const auto* bye = envelope.message.as<protocol::Bye>()) out->push_back(bye->reason);
  }
}

TEST(PhoneHostLink, AUsbLinkThroughTheUsbmuxdTunnelToThePhonesPlainPort) {
  PhoneHarness phone;
  phone.makeAndStart(/*loopbackIsUSB=*/true);
  testsupport::TempDir folder;
  FakeUsbmuxd daemon(phone.io.get_executor(), folder.file("usbmuxd"));
  TunnelToPort tunnels(daemon, phone.plainPort);
  HostTransportSettings settings;
  settings.localHello = helloFor("Mac A", "computer", kMacA);
  settings.usbmux = USBMuxClient{daemon.path(), nullptr};
  settings.store = std::make_shared<MemoryPairingStore>();
  settings.wifi = false;
  settings.clock = phone.clock;
  auto host = HostTransport::make(phone.io.get_executor(), settings);
  Strings hostEvents;
  runtime::spawn(phone.io.get_executor(), collectTexts(host->events(), &hostEvents));
  phone.run(host->start());
  auto reached = [&](std::size_t hostCount, std::size_t phoneCount) {
    return phone.waitUntil(
        [&] { return hostEvents.size() >= hostCount && phone.events.size() >= phoneCount; });
  };

  daemon.attach({3, "SERIAL-3", "USB"});
  ASSERT_TRUE(reached(1, 2));
  Strings byes;
  runtime::spawn(phone.io.get_executor(), collectByes(phone.hosts.at(0).connection, &byes));
  daemon.detach(3);
  ASSERT_TRUE(reached(2, 3));
  EXPECT_TRUE(phone.waitUntil([&] { return !byes.empty(); }));
  EXPECT_EQ(byes, Strings{"usbDetached"});
  // Plugged in again, usbmuxd gives it a new number; the phone takes the computer back.
  daemon.attach({4, "SERIAL-3", "USB"});
  ASSERT_TRUE(reached(3, 5));
  phone.drainFor(50ms);

  EXPECT_EQ(hostEvents, (Strings{"connected(USB device 3 (SERIAL-3), Phone)",
                                 "disconnected(USB device 3 (SERIAL-3), usbDetached)",
                                 "connected(USB device 4 (SERIAL-3), Phone)"}));
  // The phone's link ends with the computer's hang-up; the bye's reason is for its reader.
  EXPECT_EQ(phone.events, (Strings{"connecting", "connected(Mac A, USB)", "disconnected(closed)",
                                   "connecting", "connected(Mac A, USB)"}));
  EXPECT_TRUE(phone.log.messages("transport", runtime::LogLevel::error).empty());

  phone.run(host->stop());
  host->events()->cancel();
  daemon.shutDown();
  phone.drainFor(50ms);
}

}  // namespace
}  // namespace brindlet::transport::testing
