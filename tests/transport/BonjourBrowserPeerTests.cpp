// The browse stream and the nearby list against a real avahi-daemon in a network namespace of
// its own, with services published by Avahi's own tool.

#include <gtest/gtest.h>

#include <chrono>
#include <memory>

#include <boost/asio/io_context.hpp>

#include "platform/linux/avahi/AvahiServiceDiscovery.h"
#include "runtime/Task.h"
#include "support/AvahiDaemon.h"
#include "support/Loop.h"
#include "transport/BonjourBrowser.h"
#include "transport/HostTransport.h"
#include "transport/NearbyPhone.h"

namespace brindlet::transport {
namespace {

namespace asio = boost::asio;
using namespace std::chrono_literals;
using Snapshot = std::vector<BonjourService>;
constexpr auto kTimeout = 15s;
constexpr const char* kType = "_velvane._tcp";

std::vector<std::string> namesOf(const Snapshot& services) {
  std::vector<std::string> names;
  for (const auto& s : services) names.push_back(s.name);
  return names;
}

// Moves everything the stream gives into a list the test reads.
template <class T>
asio::awaitable<void> collect(std::shared_ptr<runtime::AsyncQueue<T>> queue,
                              std::shared_ptr<std::vector<T>> out) {
  while (auto value = co_await queue->next()) out->push_back(std::move(*value));
}

// A service published by avahi-publish for as long as the value lives.
std::unique_ptr<testsupport::ChildProcess> publish(const std::string& name,
                                                   std::vector<std::string> txt) {
  std::vector<std::string> argv = {"avahi-publish", "-s", name, kType, "9001"};
  argv.insert(argv.end(), txt.begin(), txt.end());
  auto child = std::make_unique<testsupport::ChildProcess>(argv);
  EXPECT_TRUE(child->waitFor("Established", kTimeout)) << child->output();
  return child;
}

struct BrowserPeerTest : ::testing::Test {
  testsupport::AvahiDaemon daemon;
  platform::AvahiServiceDiscovery discovery;
  asio::io_context io;

  // Runs the loop until a value after `from` satisfies the condition; its index, if any.
  template <class T, class P>
  std::optional<std::size_t> waitFor(const std::vector<T>& values, std::size_t from, P condition) {
    const auto deadline = std::chrono::steady_clock::now() + kTimeout;
    for (std::size_t i = from;;) {
      for (; i < values.size(); ++i)
        if (condition(values[i])) return i;
      if (std::chrono::steady_clock::now() > deadline) return std::nullopt;
      io.restart();
      io.run_one_for(50ms);
    }
  }
};

TEST_F(BrowserPeerTest, SnapshotsCarryTheTxtStringsAndLoseServicesThatGo) {
  auto snapshots = BonjourBrowser::browse(discovery, kType, io.get_executor());
  auto seen = std::make_shared<std::vector<Snapshot>>();
  runtime::spawn(io.get_executor(), collect(snapshots, seen));
  auto named = [](std::vector<std::string> names) {
    return [names](const Snapshot& s) { return namesOf(s) == names; };
  };
  auto full =
      publish("Phone A", {"name=Ana", "model=Phone15,2", "proto=1", "uid=U-1", "pair=9002"});
  auto bare = publish("bare", {});  // sorted after capitals
  auto big = publish("Big Port", {"uid=U-2", "pair=70000"});
  auto letter = publish("Letter", {"uid=U-3", "pair=9a", "model"});
  auto empty = publish("Empty", {"uid=U-4", "pair="});

  auto all = waitFor(*seen, 0, named({"Big Port", "Empty", "Letter", "Phone A", "bare"}));
  ASSERT_TRUE(all);
  const Snapshot listed = seen->at(*all);
  struct Expected {
    std::map<std::string, std::string> txt;
    std::string name;
    std::optional<std::uint16_t> pairPort;
  };
  const Expected expected[] = {
      {{{"uid", "U-2"}, {"pair", "70000"}}, "Big Port", std::nullopt},
      {{{"uid", "U-4"}}, "Empty", std::nullopt},
      {{{"uid", "U-3"}, {"pair", "9a"}}, "Letter", std::nullopt},
      {{{"name", "Ana"}, {"model", "Phone15,2"}, {"proto", "1"}, {"uid", "U-1"}, {"pair", "9002"}},
       "Ana",
       9002},
      {{}, "bare", std::nullopt},
  };
  for (std::size_t i = 0; i < listed.size(); ++i) {
    const BonjourService& service = listed[i];
    EXPECT_EQ(service.txt, expected[i].txt) << service.name;
    EXPECT_EQ(service.endpoint.port, 9001);
    EXPECT_FALSE(service.endpoint.host.empty());
    const NearbyPhone phone = nearbyPhone(service, [](const std::string&) { return false; });
    EXPECT_EQ(phone.name, expected[i].name);
    EXPECT_EQ(phone.pairPort, expected[i].pairPort) << service.name;
    EXPECT_EQ(phone.canPair(), i == 3) << service.name;
  }

  full.reset();
  auto fewer = waitFor(*seen, *all, named({"Big Port", "Empty", "Letter", "bare"}));
  ASSERT_TRUE(fewer);
  bare.reset();
  big.reset();
  letter.reset();
  empty.reset();
  // The last one gone: an empty list, not silence.
  EXPECT_TRUE(waitFor(*seen, *fewer, named({})));
  snapshots->cancel();
  io.restart();
  io.poll();
}

TEST_F(BrowserPeerTest, TheHostTransportListsWhatTheBrowseFinds) {
  // No key is stored: the phone's address lies in the daemon's namespace and is never dialled.
  auto store = std::make_shared<MemoryPairingStore>();
  HostTransportSettings settings;
  settings.localHello.uid = "MAC";
  settings.store = store;
  settings.discovery = std::shared_ptr<ServiceDiscovery>(&discovery, [](ServiceDiscovery*) {});
  auto host = HostTransport::make(io.get_executor(), settings);
  brindlet::testing::runUntilDone(io, host->start());
  auto phone = publish("Phone A", {"name=Ana", "uid=U-1", "pair=9002"});

  auto events = std::make_shared<std::vector<HostTransportEvent>>();
  runtime::spawn(io.get_executor(), collect(host->events(), events));
  auto found = waitFor(*events, 0, [](const HostTransportEvent& e) {
    return e.kind == HostTransportEvent::Kind::nearby && !e.phones.empty();
  });
  ASSERT_TRUE(found);
  auto listed = events->at(*found).phones;
  EXPECT_EQ(listed.at(0).name, "Ana");
  EXPECT_FALSE(listed.at(0).isPaired);
  EXPECT_TRUE(listed.at(0).canPair());
  brindlet::testing::runUntilDone(io, host->stop());
  host->events()->finish();
  host.reset();
  io.restart();
  io.poll();
}

}  // namespace
}  // namespace brindlet::transport
