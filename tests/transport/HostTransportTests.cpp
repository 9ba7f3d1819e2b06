// The host transport's Wi-Fi road against scripted phones on loopback: nearby lists, the
// automatic dial, drops, stop, forget, and the sound ends of replaced links and failed browses.

#include <gtest/gtest.h>

#include <algorithm>

#include "HostHarness.h"

namespace brindlet::transport::testing {
namespace {

std::vector<std::string> namesOf(const std::vector<NearbyPhone>& phones) {
  std::vector<std::string> names;
  for (const auto& p : phones) names.push_back(p.name);
  return names;
}

std::size_t countOf(const std::vector<std::string>& lines, const std::string& prefix) {
  return std::count_if(lines.begin(), lines.end(),
                       [&](const std::string& l) { return l.rfind(prefix, 0) == 0; });
}

TEST(HostTransport, ListsNearbyPhonesDialsTheFirstPairedOneAndDialsAgainAfterADrop) {
  HostHarness h;
  ScriptedPhone bravo(h.io, "Bravo", "U-B"), alpha(h.io, "Alpha", "U-A");
  ScriptedPhone aaron(h.io, "Aaron", "U-0");
  h.pair(bravo, 2);
  h.pair(alpha, 1);
  h.run(h.host->start());
  EXPECT_EQ(h.discovery->lastType(), "_velvane._tcp");
  h.discovery->show({bravo.service(), aaron.service(), alpha.service()});

  ASSERT_TRUE(h.waitForEvents(2));
  EXPECT_EQ(h.kinds(), (std::vector{Kind::nearby, Kind::connected}));
  const auto& phones = h.events->at(0).phones;
  EXPECT_EQ(namesOf(phones), (std::vector<std::string>{"Aaron", "Alpha", "Bravo"}));
  EXPECT_FALSE(phones[0].isPaired);
  EXPECT_TRUE(phones[1].isPaired && phones[2].isPaired);
  const ClientLink& link = *h.events->at(1).link;
  EXPECT_EQ(link.route, Route::wifi("Alpha"));
  EXPECT_EQ(link.hello.name, "Alpha");
  ASSERT_EQ(alpha.hosts().size(), 1u);
  EXPECT_EQ(alpha.hosts()[0]->identity, kMacUid);
  EXPECT_TRUE(bravo.hosts().empty());
  EXPECT_EQ(countOf(h.infos(), "Connected to Alpha over Wi-Fi \"Alpha\""), 1u);

  h.run(alpha.dropHost(0, std::nullopt));
  ASSERT_TRUE(h.waitForEvents(4));
  EXPECT_EQ(h.kinds(),
            (std::vector{Kind::nearby, Kind::connected, Kind::disconnected, Kind::connected}));
  EXPECT_EQ(h.events->at(2).route, Route::wifi("Alpha"));
  EXPECT_EQ(h.events->at(2).reason, "closed");
  EXPECT_EQ(alpha.hosts().size(), 2u);
}

TEST(HostTransport, SkipsAPhoneAfterThreeFailedDialsUntilItIsPairedAfresh) {
  HostHarness h;
  ScriptedPhone alpha(h.io, "Alpha", "U-A"), bravo(h.io, "Bravo", "U-B");
  h.run(h.store->save(keyFilled(1), alpha.uid()));
  alpha.trust(kMacUid, keyFilled(9));  // the keys differ: every TLS start fails
  h.pair(bravo, 2);
  h.run(h.host->start());
  h.discovery->show({alpha.service(), bravo.service()});

  for (std::size_t failed = 1; failed <= 3; ++failed) {
    ASSERT_TRUE(h.runUntil([&] {
      return countOf(h.infos(), "Wi-Fi to Alpha failed: ") == failed &&
             h.clock->sleeperCount() == 1;
    })) << failed;
    EXPECT_TRUE(bravo.hosts().empty());
    h.clock->advance(HostTransport::autoDialPause);
  }
  ASSERT_TRUE(h.waitForEvents(2));
  EXPECT_EQ(h.last().link->route, Route::wifi("Bravo"));
  EXPECT_EQ(alpha.tlsFailures(), 3);

  // Paired again (forget clears the count), Alpha comes first once Bravo's link ends.
  h.run(h.host->forget(alpha.uid()));
  h.run(h.store->save(keyFilled(9), alpha.uid()));
  h.run(bravo.dropHost(0, std::nullopt));
  ASSERT_TRUE(h.runUntil([&] { return alpha.hosts().size() == 1; }));
  ASSERT_TRUE(h.waitForEvents(5));
  EXPECT_EQ(h.last().link->route, Route::wifi("Alpha"));
}

TEST(HostTransport, StartsOneBrowseAndWithoutWiFiNeitherBrowsesNorDials) {
  struct Case {
    bool wifi;
    std::size_t browses;
  };
  for (const Case c : {Case{true, 1}, Case{false, 0}}) {
    HostHarness h(c.wifi);
    ScriptedPhone alpha(h.io, "Alpha", "U-A"), desk(h.io, "Desk", "U-D");
    h.pair(alpha, 1);
    h.run(h.host->start());
    h.run(h.host->start());
    EXPECT_EQ(h.discovery->browseCount(), c.browses);
    if (c.wifi) continue;
    h.discovery->show({alpha.service()});
    // A link that ends runs the auto-dial rule, which dials nothing without Wi-Fi.
    h.run(h.host->connectLoopback("Desk", desk.plainPort()));
    h.run(desk.dropHost(0, std::nullopt));
    ASSERT_TRUE(h.waitForEvents(2));
    h.settle();
    EXPECT_EQ(h.kinds(), (std::vector{Kind::connected, Kind::disconnected}));
    EXPECT_TRUE(alpha.hosts().empty());
  }
}

TEST(HostTransport, StopEndsEveryLinkWithoutAByeAndLeavesNothingRunning) {
  HostHarness h;
  ScriptedPhone a(h.io, "A", "U-A"), b(h.io, "B", "U-B");
  h.run(h.host->stop());
  EXPECT_TRUE(h.events->empty());

  h.pair(a, 1);
  h.run(h.host->start());
  h.run(h.host->connectLoopback("A", a.plainPort()));
  h.run(h.host->connectLoopback("B", b.plainPort()));
  h.run(h.host->stop());
  ASSERT_TRUE(h.runUntil([&] { return a.hosts()[0]->ended && b.hosts()[0]->ended; }));
  h.settle();
  ASSERT_EQ(h.kinds(), (std::vector{Kind::connected, Kind::connected, Kind::disconnected,
                                    Kind::disconnected}));
  std::vector<std::string> routes;
  for (std::size_t i = 2; i < 4; ++i) {
    EXPECT_EQ(h.events->at(i).reason, "closed");
    routes.push_back(h.events->at(i).route->name);
  }
  std::sort(routes.begin(), routes.end());
  EXPECT_EQ(routes, (std::vector<std::string>{"A", "B"}));
  EXPECT_TRUE(a.hosts()[0]->byes.empty());
  EXPECT_TRUE(b.hosts()[0]->byes.empty());
  EXPECT_EQ(h.discovery->runningCount(), 0u);
}

TEST(HostTransport, AnAutomaticDialInFlightWhenStopped) {
  HostHarness h;
  ScriptedPhone alpha(h.io, "Alpha", "U-A");
  h.pair(alpha, 1);
  alpha.holdHellos(true);
  h.run(h.host->start());
  h.discovery->show({alpha.service()});
  ASSERT_TRUE(h.runUntil([&] { return alpha.heldCount() == 1; }));

  h.run(h.host->stop());
  alpha.holdHellos(false);
  ASSERT_TRUE(h.runUntil([&] { return alpha.hosts()[0]->ended; }));
  h.clock->advance(HostTransport::autoDialPause);
  h.settle();
  // Nothing registered, reported, counted or dialled again.
  EXPECT_EQ(h.kinds(), std::vector{Kind::nearby});
  EXPECT_EQ(countOf(h.infos(), "Wi-Fi to Alpha failed"), 0u);
  EXPECT_EQ(alpha.hosts().size(), 1u);
}

TEST(HostTransport, ADialToALinkedPhoneClosesTheLinkItReplaces) {
  HostHarness h;
  ScriptedPhone alpha(h.io, "Alpha", "U-A");
  ASSERT_TRUE(h.autoDialled(alpha));

  NearbyPhone phone = h.events->at(0).phones.at(0);
  ClientLink link = h.run(h.host->connect(phone));
  EXPECT_EQ(link.dialedUid, "U-A");
  ASSERT_TRUE(h.runUntil([&] { return alpha.hosts().size() == 2 && alpha.hosts()[0]->ended; }));
  h.settle();
  ASSERT_EQ(h.kinds(),
            (std::vector{Kind::nearby, Kind::connected, Kind::disconnected, Kind::connected}));
  EXPECT_EQ(h.events->at(2).reason, "closed");
  EXPECT_FALSE(alpha.hosts()[1]->ended);

  // The old link's end took nothing away: the new one is still the route's, and its end is
  // reported once.
  h.run(alpha.dropHost(1, std::nullopt));
  ASSERT_TRUE(h.waitForEvents(6));
  EXPECT_EQ(h.events->at(4).kind, Kind::disconnected);
  EXPECT_EQ(h.events->at(5).kind, Kind::connected);
}

TEST(HostTransport, AFailedBrowseStartsAgainAfterAPauseUnlessStopped) {
  HostHarness h;
  h.run(h.host->start());
  h.discovery->fail("daemon gone");
  h.settle();
  EXPECT_EQ(h.log.messages("transport", runtime::LogLevel::error),
            std::vector<std::string>{"Bonjour browse failed: daemon gone"});
  EXPECT_EQ(h.discovery->runningCount(), 0u);
  EXPECT_FALSE(h.discovery->tornDownInCallback());

  h.clock->advance(HostTransport::browseRestartPause);
  h.settle();
  EXPECT_EQ(h.discovery->browseCount(), 2u);
  EXPECT_EQ(h.discovery->runningCount(), 1u);

  h.discovery->fail("daemon gone");
  h.run(h.host->stop());
  h.clock->advance(HostTransport::browseRestartPause);
  h.settle();
  EXPECT_EQ(h.discovery->browseCount(), 2u);
  EXPECT_EQ(h.discovery->runningCount(), 0u);
}

// A daemon that is not there fails every retry, for as long as the app runs: a minute of that is
// one error, the retries go on at debug, and the daemon's return is one info line.
TEST(HostTransport, ADaemonThatKeepsFailingIsOneErrorAndItsReturnOneInfoLine) {
  using Lines = std::vector<std::string>;
  struct Row {
    const char* name;
    std::function<void(HostHarness&)> breakIt, failAgain, repair, relapse;
    runtime::Duration pause;
    std::function<std::string(const HostHarness&)> line;
    std::string worksAgain;
  };
  auto newBrowse = [](HostHarness& h) {
    ASSERT_TRUE(h.runUntil([&] { return h.discovery->runningCount() == 1; }));
  };
  // Fails the running browse, and lets the transport take it down and wait for the next.
  auto failBrowse = [newBrowse](HostHarness& h) {
    newBrowse(h);
    h.discovery->fail("Daemon not running");
    h.settle();
  };
  auto noUsbmuxd = [](HostHarness& h) {
    h.usbmuxd.reset();
    h.settle();
  };
  auto refuseListen = [](int result) {
    return [result](HostHarness& h) {
      h.usbmuxd->configure([=](auto& s) { s.listenResult = result; });
    };
  };
  auto answerListen = [refuseListen](HostHarness& h) {
    refuseListen(0)(h);
    h.clock->advance(HostTransport::usbmuxRestartPause);
  };
  const Row rows[] = {
      {"avahi-daemon not running", [](HostHarness&) {}, failBrowse,
       [newBrowse](HostHarness& h) {
         h.clock->advance(HostTransport::browseRestartPause);
         newBrowse(h);
         h.discovery->emit({BrowseEvent::Kind::running, {}, {}});
       },
       failBrowse, HostTransport::browseRestartPause,
       [](const HostHarness&) { return std::string("Bonjour browse failed: Daemon not running"); },
       "Bonjour browse works again"},
      {"no Avahi poll thread",
       [](HostHarness& h) { h.discovery->refuse("cannot create the Avahi poll thread"); },
       [](HostHarness&) {},
       [newBrowse](HostHarness& h) {
         h.discovery->refuse(std::nullopt);
         h.clock->advance(HostTransport::browseRestartPause);
         newBrowse(h);
         h.discovery->emit({BrowseEvent::Kind::running, {}, {}});
       },
       [](HostHarness& h) {
         h.discovery->refuse("cannot create the Avahi poll thread");
         h.discovery->fail("Daemon not running");
       },
       HostTransport::browseRestartPause,
       [](const HostHarness&) {
         return std::string("Bonjour browse failed: cannot create the Avahi poll thread");
       },
       "Bonjour browse works again"},
      {"usbmuxd not running", noUsbmuxd, [](HostHarness&) {},
       [](HostHarness& h) {
         h.usbmuxd = std::make_unique<FakeUsbmuxd>(h.io.get_executor(), h.usbmuxdPath);
         h.clock->advance(HostTransport::usbmuxRestartPause);
       },
       [noUsbmuxd](HostHarness& h) {
         noUsbmuxd(h);
         h.clock->advance(HostTransport::usbmuxRestartPause);
       },
       HostTransport::usbmuxRestartPause,
       [](const HostHarness& h) {
         return "usbmuxd: " +
                TransportError::usbmux("cannot reach usbmuxd at " + h.usbmuxdPath +
                                       ": connectionFailed(\"No such file or directory\")")
                    .text();
       },
       "usbmuxd: works again"},
      {"Listen refused", refuseListen(3), [](HostHarness&) {}, answerListen,
       [refuseListen](HostHarness& h) {
         refuseListen(3)(h);
         h.usbmuxd->dropListeners();
       },
       HostTransport::usbmuxRestartPause,
       [](const HostHarness&) {
         return "usbmuxd: " + TransportError::usbmux("Listen refused").text();
       },
       "usbmuxd: works again"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    HostHarness h;
    auto at = [&](runtime::LogLevel level) { return h.log.messages("transport", level); };
    row.breakIt(h);
    h.run(h.host->start());
    const std::string line = row.line(h);
    const auto attempts = std::size_t(60s / row.pause) + 1;
    for (std::size_t attempt = 1; attempt <= attempts; ++attempt) {
      row.failAgain(h);
      ASSERT_TRUE(h.runUntil([&] {
        return countOf(at(runtime::LogLevel::debug), line) == attempt - 1 &&
               countOf(at(runtime::LogLevel::error), line) == 1;
      })) << attempt;
      if (attempt < attempts) h.clock->advance(row.pause);
    }
    EXPECT_EQ(at(runtime::LogLevel::error), Lines{line});
    EXPECT_TRUE(h.infos().empty());
    // Each failed browse was a browse of its own.
    if (row.pause == HostTransport::browseRestartPause) {
      EXPECT_EQ(h.discovery->browseCount(), attempts);
    }

    row.repair(h);
    ASSERT_TRUE(h.runUntil([&] { return !h.infos().empty(); }));
    EXPECT_EQ(h.infos(), Lines{row.worksAgain});
    h.settle();

    // Failing again after it worked is news again.
    row.relapse(h);
    ASSERT_TRUE(h.runUntil([&] { return at(runtime::LogLevel::error).size() == 2; }));
    for (int i = 0; i < 3; ++i) {
      h.clock->advance(row.pause);
      row.failAgain(h);
      h.settle();
    }
    EXPECT_EQ(at(runtime::LogLevel::error).size(), 2u);
  }
}

TEST(HostTransport, ForgetDropsTheKeyAndLeavesTheLinkOpen) {
  HostHarness h;
  ScriptedPhone alpha(h.io, "Alpha", "U-A");
  ASSERT_TRUE(h.autoDialled(alpha));

  h.run(h.host->forget("U-A"));
  h.settle();
  ASSERT_EQ(h.kinds(), (std::vector{Kind::nearby, Kind::connected, Kind::nearby}));
  EXPECT_FALSE(h.last().phones.at(0).isPaired);
  EXPECT_FALSE(h.run(h.store->key("U-A")));
  EXPECT_FALSE(alpha.hosts()[0]->ended);
}

TEST(HostTransport, AnyLinkHoldsTheAutomaticDialBackUntilItEnds) {
  HostHarness h;
  ScriptedPhone desk(h.io, "Desk", "U-D"), alpha(h.io, "Alpha", "U-A");
  h.pair(alpha, 1);
  h.run(h.host->start());
  h.run(h.host->connectLoopback("Desk", desk.plainPort()));
  h.discovery->show({alpha.service()});
  h.settle();
  EXPECT_EQ(h.kinds(), (std::vector{Kind::connected, Kind::nearby}));
  EXPECT_TRUE(alpha.hosts().empty());

  h.run(desk.dropHost(0, std::nullopt));
  ASSERT_TRUE(h.waitForEvents(4));
  EXPECT_EQ(h.events->at(2).route, Route::wifi("Desk"));
  EXPECT_EQ(h.events->at(3).link->route, Route::wifi("Alpha"));
}

}  // namespace
}  // namespace brindlet::transport::testing
