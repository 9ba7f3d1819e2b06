// The phone's advertisement through a real avahi-daemon in a network namespace of its own, as
// avahi-browse and our own browse see it.

#include <gtest/gtest.h>

#include <iomanip>
#include <sstream>

#include "PhoneHarness.h"
#include "platform/linux/avahi/AvahiServiceDiscovery.h"
#include "support/AvahiDaemon.h"
#include "transport/BonjourBrowser.h"

namespace brindlet::transport::testing {
namespace {

using Txt = std::map<std::string, std::string>;

// One resolved line of `avahi-browse -p`: "=;if;proto;name;type;domain;host;address;port;txt".
struct Resolved {
  std::string name;
  std::uint16_t port = 0;
  Txt txt;
};

std::string unescape(const std::string& name) {
  std::string out;
  for (std::size_t i = 0; i < name.size(); ++i) {
    if (name[i] == '\\' && i + 3 < name.size() && std::isdigit(name[i + 1])) {
      out += char(std::stoi(name.substr(i + 1, 3)));
      i += 3;
    } else {
      out += name[i];
    }
  }
  return out;
}

std::vector<Resolved> resolvedLines(const std::string& output) {
  std::vector<Resolved> found;
  // Only whole lines: the last one may still be arriving.
  std::istringstream lines(output.substr(0, output.rfind('\n') + 1));
  for (std::string line; std::getline(lines, line);) {
    if (!line.starts_with("=;")) continue;
    std::vector<std::string> fields;
    std::istringstream parts(line);
    for (std::string f; fields.size() < 9 && std::getline(parts, f, ';');) fields.push_back(f);
    std::string txt;
    std::getline(parts, txt);
    if (fields.size() < 9) continue;
    Resolved r{unescape(fields[3]), std::uint16_t(std::stoi(fields[8])), {}};
    std::istringstream entries(txt);
    for (std::string entry; entries >> std::quoted(entry);) {
      const auto eq = entry.find('=');
      if (eq != std::string::npos) r.txt[entry.substr(0, eq)] = entry.substr(eq + 1);
    }
    found.push_back(r);
  }
  return found;
}

// What avahi-browse has resolved once it lists every wanted name (at most 15 seconds).
std::vector<Resolved> browseFor(const std::vector<std::string>& names) {
  testsupport::ChildProcess browse({"avahi-browse", "-rp", "_velvane._tcp"});
  const auto deadline = std::chrono::steady_clock::now() + 15s;
  for (;;) {
    auto seen = resolvedLines(browse.output());
    bool all = true;
    for (const auto& n : names) {
      all = all && std::any_of(seen.begin(), seen.end(), [&](auto& r) { return r.name == n; });
    }
    if (all || std::chrono::steady_clock::now() > deadline) return seen;
    browse.waitFor("\n(more output)", 100ms);  // reads what comes meanwhile
  }
}

class ClientTransportAvahiPeer : public ::testing::Test {
 protected:
  testsupport::AvahiDaemon daemon_;
  std::shared_ptr<platform::AvahiServiceDiscovery> discovery_ =
      std::make_shared<platform::AvahiServiceDiscovery>();

  void makePhone(PhoneHarness& phone) {
    phone.make(false, kPhoneUid, [&](ClientTransport::Settings& s) {
      s.advertise = true;
      s.discovery = discovery_;
    });
    phone.start();
  }
};

TEST_F(ClientTransportAvahiPeer, AvahiBrowseSeesTheTlsPortAndTxtUntilTheStop) {
  PhoneHarness phone;
  makePhone(phone);
  const Txt expected = {{"name", "Phone"},
                        {"model", "iPhone15,2"},
                        {"proto", "1"},
                        {"uid", kPhoneUid},
                        {"pair", std::to_string(phone.plainPort)}};

  auto seen = browseFor({"Phone"});
  ASSERT_FALSE(seen.empty());
  for (const auto& r : seen) {  // one line per interface and address family
    EXPECT_EQ(r.name, "Phone");
    EXPECT_EQ(r.port, phone.securePort);
    EXPECT_EQ(r.txt, expected);
  }

  // Our own browse lists the phone until stopping withdraws the advertisement.
  auto snapshots = BonjourBrowser::browse(*discovery_, "_velvane._tcp", phone.io.get_executor());
  auto next = [](std::shared_ptr<BonjourSnapshots> stream, bool empty) -> asio::awaitable<bool> {
    while (auto snapshot = co_await stream->next()) {
      if (snapshot->empty() == empty) co_return true;
    }
    co_return false;
  };
  EXPECT_TRUE(phone.run(next(snapshots, false)));
  phone.run(phone.transport->stop("backgrounded"));
  EXPECT_TRUE(phone.run(next(snapshots, true)));
  snapshots->cancel();
}

TEST_F(ClientTransportAvahiPeer, NameCollisionTakesTheAlternativeName) {
  PhoneHarness first, second;
  makePhone(first);
  ASSERT_FALSE(browseFor({"Phone"}).empty());
  makePhone(second);
  auto seen = browseFor({"Phone", "Phone #2"});
  ASSERT_TRUE(std::any_of(seen.begin(), seen.end(), [&](auto& r) {
    return r.name == "Phone #2" && r.port == second.securePort;
  }));
  EXPECT_TRUE(second.logged("Advertised as Phone #2"));
}

}  // namespace
}  // namespace brindlet::transport::testing
