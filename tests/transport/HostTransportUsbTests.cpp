// The host transport's USB road against our fake usbmuxd and a phone behind its tunnels: plug
// in, hello and connected; unplug, bye and one disconnected; dialling again after ends and
// failures; devices that went while no Listen was open; the watcher's errors and pauses.

#include <gtest/gtest.h>

#include <algorithm>

#include "HostHarness.h"
#include "transport/LinkHarness.h"

namespace brindlet::transport::testing {
namespace {

using Strings = std::vector<std::string>;

const USBMuxDevice kPhone{3, "SERIAL-3", "USB"};
const Route kRoute = Route::usb(3, "SERIAL-3");

std::size_t connectsTo(const FakeUsbmuxd& daemon, std::int64_t deviceID) {
  const auto requests = daemon.requests();
  return std::count_if(requests.begin(), requests.end(), [&](const USBMuxMessage& m) {
    const auto* c = std::get_if<USBMuxMessage::Connect>(&m.value);
    return c && c->deviceID == deviceID;
  });
}

std::size_t countOf(const Strings& lines, const std::string& line) {
  return std::count(lines.begin(), lines.end(), line);
}

Strings errors(const HostHarness& h) {
  return h.log.messages("transport", runtime::LogLevel::error);
}

// Started, with the phone plugged in and linked.
struct Plugged {
  HostHarness h;
  TunnelPhone phone{*h.usbmuxd, helloOf("Phone")};

  Plugged() {
    h.run(h.host->start());
    h.usbmuxd->attach(kPhone);
    EXPECT_TRUE(h.waitForEvents(1));
  }
};

TEST(HostTransportUsb, APluggedInPhoneIsTunnelledToGreetedAndReported) {
  Plugged p;
  auto& h = p.h;
  // Ignored: a device reached over the network, and the phone reported a second time.
  h.usbmuxd->attach({4, "NET-4", "Network"});
  h.usbmuxd->attach(kPhone);
  h.settle();

  ASSERT_EQ(h.kinds(), std::vector{Kind::connected});
  const ClientLink& link = *h.events->at(0).link;
  EXPECT_EQ(link.route, kRoute);
  EXPECT_EQ(link.hello.name, "Phone");
  EXPECT_EQ(p.phone.ports(), std::vector<std::uint16_t>{DeckTransport::port});
  ASSERT_EQ(p.phone.greeted().size(), 1u);
  EXPECT_EQ(p.phone.greeted()[0].uid, kMacUid);
  EXPECT_EQ(connectsTo(*h.usbmuxd, 4), 0u);
  EXPECT_EQ(h.infos(), (Strings{"USB device 3 attached (SERIAL-3)",
                                "Connected to Phone over USB device 3 (SERIAL-3)"}));
}

TEST(HostTransportUsb, UnpluggingSaysUsbDetachedReportsOnceAndLetsWiFiDial) {
  Plugged p;
  auto& h = p.h;
  ScriptedPhone alpha(h.io, "Alpha", "U-A");
  h.pair(alpha, 1);
  h.discovery->show({alpha.service()});
  h.settle();
  EXPECT_TRUE(alpha.hosts().empty());  // the USB link holds the automatic dial back

  h.usbmuxd->detach(kPhone.id);
  ASSERT_TRUE(h.runUntil([&] { return p.phone.ended() == 1; }));
  EXPECT_EQ(p.phone.byes(), Strings{"usbDetached"});
  ASSERT_TRUE(h.waitForEvents(4));
  for (int i = 0; i < 3; ++i) h.clock->advance(1s);
  h.settle();

  ASSERT_EQ(h.kinds(),
            (std::vector{Kind::connected, Kind::nearby, Kind::disconnected, Kind::connected}));
  EXPECT_EQ(h.events->at(2).route, kRoute);
  EXPECT_EQ(h.events->at(2).reason, "usbDetached");
  EXPECT_EQ(h.events->at(3).link->route, Route::wifi("Alpha"));
  EXPECT_EQ(p.phone.links().size(), 1u);  // never dialled again
  EXPECT_EQ(countOf(h.infos(), "USB device 3 detached"), 1u);
}

TEST(HostTransportUsb, ALinkThePhoneEndsIsReportedAndDialledAgainAfterThePause) {
  Plugged p;
  auto& h = p.h;
  h.run(p.phone.links()[0]->close(std::string("backgrounded")));
  ASSERT_TRUE(h.waitForEvents(2));
  EXPECT_EQ(h.events->at(1).route, kRoute);
  EXPECT_EQ(h.events->at(1).reason, "closed");

  h.clock->advance(999ms);
  h.settle();
  EXPECT_EQ(p.phone.links().size(), 1u);
  h.clock->advance(1ms);
  ASSERT_TRUE(h.waitForEvents(3));
  EXPECT_EQ(h.kinds(), (std::vector{Kind::connected, Kind::disconnected, Kind::connected}));
  EXPECT_EQ(p.phone.links().size(), 2u);
}

TEST(HostTransportUsb, ARefusedTunnelIsLoggedAndTriedAgainEveryInterval) {
  HostHarness h;
  TunnelPhone phone(*h.usbmuxd, helloOf("Phone"));
  h.usbmuxd->setConnectResult(kPhone.id, FakeUsbmuxd::connectionRefused);
  h.run(h.host->start());
  h.usbmuxd->attach(kPhone);

  const std::string refused =
      "USB device 3 (SERIAL-3): " +
      TransportError::usbmux("usbmuxd refused the tunnel: result(3)").text();
  for (std::size_t attempt = 1; attempt <= 3; ++attempt) {
    ASSERT_TRUE(h.runUntil([&] {
      return countOf(h.log.messages("transport", runtime::LogLevel::debug), refused) == attempt;
    })) << attempt;
    EXPECT_EQ(connectsTo(*h.usbmuxd, kPhone.id), attempt);
    h.clock->advance(1s);
  }
  h.usbmuxd->setConnectResult(kPhone.id, FakeUsbmuxd::ok);
  h.clock->advance(1s);
  ASSERT_TRUE(h.waitForEvents(1));
  EXPECT_EQ(h.events->at(0).link->route, kRoute);
}

// A device that answers every dial with garbage is one error while it does, its repeats at
// debug; a hello ends the streak, and garbage after it is an error again.
TEST(HostTransportUsb, ADeviceAnsweringWithGarbageIsOneErrorPerStreak) {
  const protocol::Frame video{protocol::Channel::video, {}, runtime::Bytes{1, 2, 3}};
  const struct {
    const char* name;
    runtime::Bytes garbage;
    runtime::Duration untilFault;  // after the tunnel opens
    std::string line;
  } rows[] = {
      {"unknown channel", runtime::Bytes{9, 0, 0, 0, 0, 0}, 0s,
       "Protocol violation: " + protocol::ProtocolError::unknownChannel(9).text()},
      {"first frame not a hello", video.encoded(), 0s,
       "First frame was video frame, not hello; closing"},
      {"silence", runtime::Bytes{}, 3s, "No hello within 3.0 seconds; closing"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    HostHarness h;
    TunnelPhone phone(*h.usbmuxd, helloOf("Phone"));
    phone.answerWith(row.garbage);
    h.run(h.host->start());
    h.usbmuxd->attach(kPhone);
    auto at = [&](runtime::LogLevel level) { return h.log.messages("transport", level); };
    // Lets the transport's one sleep of `span` (the hello's wait, the pause) run out.
    auto pass = [&](runtime::Duration span) {
      if (span == 0s) return;
      ASSERT_TRUE(h.runUntil([&] { return h.clock->nextDeadline() == h.clock->now() + span; }));
      h.clock->advance(span);
    };
    constexpr std::size_t kDials = 5;
    for (std::size_t dial = 1; dial <= kDials; ++dial) {
      pass(row.untilFault);
      ASSERT_TRUE(h.runUntil([&] {
        return countOf(at(runtime::LogLevel::debug), row.line) == dial - 1 &&
               countOf(at(runtime::LogLevel::error), row.line) == 1;
      })) << dial;
      pass(1s);
    }
    EXPECT_EQ(errors(h), Strings{row.line});
    EXPECT_EQ(connectsTo(*h.usbmuxd, kPhone.id), kDials);

    phone.answerWith(std::nullopt);
    ASSERT_TRUE(h.waitForEvents(1));
    EXPECT_EQ(countOf(h.infos(), "USB device 3 (SERIAL-3): answers again"), 1u);

    phone.answerWith(row.garbage);
    h.run(phone.links()[0]->close(std::string("backgrounded")));
    pass(1s);
    pass(row.untilFault);
    ASSERT_TRUE(h.runUntil([&] { return errors(h).size() == 2; }));
    EXPECT_EQ(errors(h), (Strings{row.line, row.line}));
  }
}

TEST(HostTransportUsb, UnpluggingDuringTheHelloRegistersNothingAndSaysUsbDetached) {
  HostHarness h;
  std::vector<std::shared_ptr<runtime::ByteStream>> tunnels;
  h.usbmuxd->onTunnel([&](std::shared_ptr<runtime::ByteStream> tunnel, std::uint16_t) {
    tunnels.push_back(std::move(tunnel));
  });
  h.run(h.host->start());
  h.usbmuxd->attach(kPhone);
  ASSERT_TRUE(h.runUntil([&] { return tunnels.size() == 1; }));
  h.usbmuxd->detach(kPhone.id);
  ASSERT_TRUE(h.runUntil([&] { return countOf(h.infos(), "USB device 3 detached") == 1; }));

  // The phone answers only now: the exchange completes, and the link is closed at once.
  auto link = FrameConnection::make(tunnels[0]);
  h.run(Handshake::run(link, helloOf("Phone"), 5s));
  auto bye = h.run(link->receive());
  ASSERT_TRUE(bye);
  const auto envelope = protocol::ControlEnvelope::of(*bye);
  ASSERT_TRUE(envelope.message.as<protocol::Bye>());
  EXPECT_EQ(envelope.message.as<protocol::Bye>()->reason, "usbDetached");
  h.clock->advance(5s);
  h.settle();
  EXPECT_TRUE(h.events->empty());
  EXPECT_EQ(tunnels.size(), 1u);
}

TEST(HostTransportUsb, ADeviceGoneWhileNoListenWasOpenLosesItsTask) {
  HostHarness h;
  TunnelPhone phone(*h.usbmuxd, helloOf("Phone"));
  const USBMuxDevice stuck{7, "SERIAL-7", "USB"};
  h.usbmuxd->setConnectResult(stuck.id, FakeUsbmuxd::connectionRefused);
  h.run(h.host->start());
  h.usbmuxd->attach(stuck);
  h.usbmuxd->attach(kPhone);
  ASSERT_TRUE(h.waitForEvents(1));
  ASSERT_TRUE(h.runUntil([&] { return connectsTo(*h.usbmuxd, stuck.id) == 1; }));

  // usbmuxd restarts, and the device goes before the next Listen.
  h.usbmuxd->dropListeners();
  ASSERT_TRUE(h.runUntil([&] { return countOf(errors(h), "usbmuxd: closed") == 1; }));
  h.usbmuxd->detach(stuck.id);
  h.settle();
  h.clock->advance(HostTransport::usbmuxRestartPause);
  ASSERT_TRUE(h.runUntil([&] { return countOf(h.infos(), "USB device 7 detached") == 1; }));
  const auto dials = connectsTo(*h.usbmuxd, stuck.id);
  for (int i = 0; i < 5; ++i) {
    h.clock->advance(1s);
    h.settle();
  }
  EXPECT_EQ(connectsTo(*h.usbmuxd, stuck.id), dials);
  // The phone still plugged in keeps its one task and its link.
  EXPECT_EQ(h.kinds(), std::vector{Kind::connected});
  EXPECT_EQ(connectsTo(*h.usbmuxd, kPhone.id), 1u);
  EXPECT_EQ(phone.ended(), 0u);
  EXPECT_EQ(h.usbmuxd->openListeners(), 1u);
  EXPECT_EQ(countOf(errors(h), "usbmuxd: closed"), 1u);
}

TEST(HostTransportUsb, StopEndsTheUsbLinkTheWatcherAndTheDeviceTasks) {
  Plugged p;
  auto& h = p.h;
  h.run(h.host->stop());
  ASSERT_TRUE(h.runUntil([&] { return p.phone.ended() == 1; }));
  for (int i = 0; i < 5; ++i) h.clock->advance(1s);
  h.settle();
  ASSERT_EQ(h.kinds(), (std::vector{Kind::connected, Kind::disconnected}));
  EXPECT_EQ(h.events->at(1).route, kRoute);
  EXPECT_EQ(h.events->at(1).reason, "closed");
  EXPECT_TRUE(p.phone.byes().empty());
  EXPECT_EQ(p.phone.links().size(), 1u);
  EXPECT_EQ(h.usbmuxd->openListeners(), 0u);

  // Started again, it finds the phone anew.
  h.run(h.host->start());
  ASSERT_TRUE(h.waitForEvents(3));
  EXPECT_EQ(h.last().link->route, kRoute);
}

}  // namespace
}  // namespace brindlet::transport::testing
