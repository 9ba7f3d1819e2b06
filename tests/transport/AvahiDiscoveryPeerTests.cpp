// Browsing and advertising through a real avahi-daemon, in a network namespace of its own.

#include <gtest/gtest.h>

#include <condition_variable>
#include <deque>
#include <mutex>

#include "platform/linux/avahi/AvahiServiceDiscovery.h"
#include "support/AvahiDaemon.h"

namespace brindlet::transport {
namespace {

using namespace std::chrono_literals;
constexpr auto kTimeout = 15s;
constexpr const char* kType = "_velvane._tcp";

// Collects what the Avahi thread reports, for the test thread to wait on.
template <class Event>
class Inbox {
 public:
  std::function<void(Event)> sink() {
    return [this](Event e) {
      std::lock_guard lock(mutex_);
      events_.push_back(std::move(e));
      changed_.notify_all();
    };
  }

  // Waits for an event that satisfies the predicate, dropping the ones before it.
  template <class P>
  std::optional<Event> waitFor(P predicate) {
    std::unique_lock lock(mutex_);
    std::optional<Event> found;
    changed_.wait_for(lock, kTimeout, [&] {
      while (!events_.empty()) {
        Event e = std::move(events_.front());
        events_.pop_front();
        if (predicate(e)) {
          found = std::move(e);
          return true;
        }
      }
      return false;
    });
    return found;
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<Event> events_;
};

std::vector<std::string> names(const BrowseEvent& e) {
  std::vector<std::string> out;
  for (const auto& s : e.services) out.push_back(s.name);
  return out;
}

auto snapshotWith(std::vector<std::string> expected) {
  return [expected](const BrowseEvent& e) {
    return e.kind == BrowseEvent::Kind::snapshot && names(e) == expected;
  };
}

class AvahiDiscoveryPeerTest : public ::testing::Test {
 protected:
  testsupport::AvahiDaemon daemon_;
  platform::AvahiServiceDiscovery discovery_;
};

TEST_F(AvahiDiscoveryPeerTest, AdvertisedServiceAppearsWithItsTxtAndGoesAway) {
  Inbox<BrowseEvent> browsed;
  auto browse = discovery_.browse(kType, browsed.sink());

  Inbox<AdvertiseEvent> advertised;
  const std::map<std::string, std::string> txt = {{"name", "Phone A"},
                                                  {"model", "iPhone15,2"},
                                                  {"proto", "1"},
                                                  {"uid", "u-1"},
                                                  {"pair", "9000"}};
  auto ad = discovery_.advertise({"Phone A", kType, 9001, txt}, advertised.sink());
  auto established = advertised.waitFor([](const AdvertiseEvent&) { return true; });
  ASSERT_TRUE(established);
  EXPECT_EQ(established->kind, AdvertiseEvent::Kind::established);
  EXPECT_EQ(established->name, "Phone A");

  auto seen = browsed.waitFor(snapshotWith({"Phone A"}));
  ASSERT_TRUE(seen);
  const BonjourService& phone = seen->services.at(0);
  EXPECT_EQ(phone.txt, txt);
  EXPECT_EQ(phone.endpoint.port, 9001);
  EXPECT_EQ(phone.endpoint.type, kType);
  EXPECT_FALSE(phone.endpoint.host.empty());

  ad.reset();  // the last phone leaves: an empty snapshot, not silence
  EXPECT_TRUE(browsed.waitFor(snapshotWith({})));
}

TEST_F(AvahiDiscoveryPeerTest, NameCollisionTakesTheAlternativeName) {
  Inbox<AdvertiseEvent> first, second;
  auto a = discovery_.advertise({"Phone", kType, 9001, {}}, first.sink());
  ASSERT_TRUE(first.waitFor(
      [](const AdvertiseEvent& e) { return e.kind == AdvertiseEvent::Kind::established; }));
  auto b = discovery_.advertise({"Phone", kType, 9002, {}}, second.sink());
  auto renamed = second.waitFor(
      [](const AdvertiseEvent& e) { return e.kind == AdvertiseEvent::Kind::established; });
  ASSERT_TRUE(renamed);
  EXPECT_EQ(renamed->name, "Phone #2");

  Inbox<BrowseEvent> browsed;
  auto browse = discovery_.browse(kType, browsed.sink());
  EXPECT_TRUE(browsed.waitFor(snapshotWith({"Phone", "Phone #2"})));
}

TEST_F(AvahiDiscoveryPeerTest, SnapshotsAreSortedAndTxtFilteredForAnyPublisher) {
  // Services published by Avahi's own tool, with TXT entries our API cannot write.
  testsupport::ChildProcess zed(
      {"avahi-publish", "-s", "Zed", kType, "9001", "novalue", "empty=", "name=Zed"});
  testsupport::ChildProcess lower({"avahi-publish", "-s", "alpha", kType, "9001"});
  testsupport::ChildProcess beta({"avahi-publish", "-s", "Beta", kType, "9001", "model=x"});
  Inbox<BrowseEvent> browsed;
  auto browse = discovery_.browse(kType, browsed.sink());
  auto seen = browsed.waitFor(snapshotWith({"Beta", "Zed", "alpha"}));
  ASSERT_TRUE(seen) << zed.output();
  EXPECT_EQ(seen->services[1].txt, (std::map<std::string, std::string>{{"name", "Zed"}}));
  EXPECT_TRUE(seen->services[2].txt.empty());
}

TEST(AvahiDiscoveryPeer, WaitsForTheDaemonThenBrowses) {
  testsupport::AvahiDaemon busOnly(/*startDaemon=*/false);
  platform::AvahiServiceDiscovery discovery;
  Inbox<BrowseEvent> browsed;
  auto browse = discovery.browse(kType, browsed.sink());
  auto waiting = browsed.waitFor([](const BrowseEvent&) { return true; });
  ASSERT_TRUE(waiting);
  EXPECT_EQ(waiting->kind, BrowseEvent::Kind::waiting) << waiting->error;

  busOnly.startDaemon();
  Inbox<AdvertiseEvent> advertised;
  auto ad = discovery.advertise({"Late Phone", kType, 9001, {}}, advertised.sink());
  EXPECT_TRUE(browsed.waitFor(snapshotWith({"Late Phone"})));
}

}  // namespace
}  // namespace brindlet::transport
