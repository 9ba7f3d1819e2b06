// Browse snapshots as a stream: the browse's end whichever side ends it, and a slow reader.
// Sorting, the state log lines and the end on failure are shown with a real daemon
// (BonjourBrowserPeerTests) and through the host transport (HostTransportTests).

#include <gtest/gtest.h>

#include <thread>

#include <boost/asio/io_context.hpp>

#include "ScriptedDiscovery.h"
#include "runtime/Task.h"
#include "support/Loop.h"
#include "transport/BonjourBrowser.h"

namespace brindlet::transport::testing {
namespace {

namespace asio = boost::asio;

BonjourService service(std::string name) {
  return {name, {name, "_velvane._tcp", "local", 1, "10.0.0.2", 9001}, {}};
}

std::vector<std::string> namesOf(const std::vector<BonjourService>& services) {
  std::vector<std::string> names;
  for (const auto& s : services) names.push_back(s.name);
  return names;
}

// Everything the stream gives until it ends.
asio::awaitable<std::vector<std::vector<std::string>>> readAll(
    std::shared_ptr<BonjourSnapshots> snapshots) {
  std::vector<std::vector<std::string>> all;
  while (auto s = co_await snapshots->next()) all.push_back(namesOf(*s));
  co_return all;
}

struct BrowserTest : ::testing::Test {
  asio::io_context io;
  ScriptedDiscovery discovery;
  std::shared_ptr<BonjourSnapshots> snapshots =
      BonjourBrowser::browse(discovery, "_velvane._tcp", io.get_executor());

  // The browse is let go of on the loop, while the discovery still stands.
  ~BrowserTest() override {
    snapshots.reset();
    drain();
  }

  void drain() { brindlet::testing::drain(io); }
};

TEST_F(BrowserTest, TheConsumerEndsTheBrowseByCancellingOrDroppingTheStream) {
  struct Case {
    const char* name;
    bool drop;
  };
  for (const Case c : {Case{"cancel", false}, Case{"drop", true}}) {
    auto stream = BonjourBrowser::browse(discovery, "_velvane._tcp", io.get_executor());
    drain();
    const auto before = discovery.runningCount();
    if (c.drop) {
      stream.reset();
    } else {
      stream->cancel();
    }
    drain();
    EXPECT_EQ(discovery.runningCount(), before - 1) << c.name;
  }
}

TEST_F(BrowserTest, ASlowConsumerGetsEverySnapshotInOrder) {
  std::thread avahi([&] {
    for (int i = 0; i < 200; ++i) discovery.show({service("phone " + std::to_string(i))});
    discovery.fail("done");
  });
  avahi.join();
  const auto all = brindlet::testing::runUntilDone(io, readAll(snapshots));
  ASSERT_EQ(all.size(), 200u);
  for (int i = 0; i < 200; ++i) EXPECT_EQ(all[i].at(0), "phone " + std::to_string(i));
}

}  // namespace
}  // namespace brindlet::transport::testing
