// Browsing through a real avahi-daemon, in a network namespace of its own, that starts only
// after the browse. Advertising and browsing with the daemon running are shown through the phone
// transport and the browse stream (ClientTransportAvahiPeerTests, BonjourBrowserPeerTests).

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
