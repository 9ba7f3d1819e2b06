// The browse stream against a real avahi-daemon in a network namespace of its own, started after
// the browse, with services published by Avahi's own tool.

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <memory>

#include <boost/asio/io_context.hpp>

#include "platform/linux/avahi/AvahiServiceDiscovery.h"
#include "runtime/Log.h"
#include "runtime/Task.h"
#include "support/AvahiDaemon.h"
#include "support/Loop.h"
#include "transport/BonjourBrowser.h"

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
  testsupport::AvahiDaemon daemon{/*startDaemon=*/false};
  platform::AvahiServiceDiscovery discovery;
  asio::io_context io;

  // Runs the loop until the condition holds or the time is out.
  bool until(const std::function<bool()>& done) {
    const auto deadline = std::chrono::steady_clock::now() + kTimeout;
    while (!done()) {
      if (std::chrono::steady_clock::now() > deadline) return false;
      io.restart();
      io.run_one_for(50ms);
    }
    return true;
  }
  // The index of the first value after `from` that satisfies the condition, once one comes.
  template <class T, class P>
  std::optional<std::size_t> waitFor(const std::vector<T>& values, std::size_t from, P condition) {
    std::optional<std::size_t> found;
    until([&] {
      for (; from < values.size() && !found; ++from)
        if (condition(values[from])) found = from;
      return found.has_value();
    });
    return found;
  }
};

// The browse starts before the daemon does: it waits, then lists what comes.
TEST_F(BrowserPeerTest, WaitsForTheDaemonThenSnapshotsTheTxtAndLosesServicesThatGo) {
  runtime::LogCapture log;
  auto snapshots = BonjourBrowser::browse(discovery, kType, io.get_executor());
  auto seen = std::make_shared<std::vector<Snapshot>>();
  runtime::spawn(io.get_executor(), collect(snapshots, seen));
  ASSERT_TRUE(until([&] {
    auto errors = log.messages("transport", runtime::LogLevel::error);
    return !errors.empty() && errors[0].starts_with("Bonjour browse waiting");
  }));
  daemon.startDaemon();

  auto named = [](std::vector<std::string> names) {
    return [names](const Snapshot& s) { return namesOf(s) == names; };
  };
  auto full = publish("Phone A", {"name=Ana", "model=Phone15,2", "proto=1", "uid=U-1"});
  auto bare = publish("bare", {});  // sorted after capitals
  auto empty = publish("Empty", {"uid=U-4", "pair=", "model"});

  auto all = waitFor(*seen, 0, named({"Empty", "Phone A", "bare"}));
  ASSERT_TRUE(all);
  EXPECT_EQ(log.messages("transport", runtime::LogLevel::info),
            std::vector<std::string>{"Bonjour browse works again"});
  const Snapshot listed = seen->at(*all);
  const std::map<std::string, std::string> expected[] = {
      {{"uid", "U-4"}},
      {{"name", "Ana"}, {"model", "Phone15,2"}, {"proto", "1"}, {"uid", "U-1"}},
      {},
  };
  for (std::size_t i = 0; i < listed.size(); ++i) {
    EXPECT_EQ(listed[i].txt, expected[i]) << listed[i].name;
    EXPECT_EQ(listed[i].endpoint.port, 9001);
    EXPECT_FALSE(listed[i].endpoint.host.empty());
  }

  full.reset();
  auto fewer = waitFor(*seen, *all, named({"Empty", "bare"}));
  ASSERT_TRUE(fewer);
  bare.reset();
  empty.reset();
  // The last one gone: an empty list, not silence.
  EXPECT_TRUE(waitFor(*seen, *fewer, named({})));
  snapshots->cancel();
  io.restart();
  io.poll();
}

}  // namespace
}  // namespace brindlet::transport
