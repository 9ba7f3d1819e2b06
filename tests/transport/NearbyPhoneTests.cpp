// Phones as their TXT records describe them, and the routes links run on.

#include <gtest/gtest.h>

#include "transport/NearbyPhone.h"
#include "transport/Route.h"

namespace brindlet::transport {
namespace {

BonjourService serviceWith(std::map<std::string, std::string> txt) {
  return {"svc-name", {"svc-name", "_velvane._tcp", "local", 2, "10.0.0.7", 9001}, std::move(txt)};
}

TEST(NearbyPhone, ReadsThePairPortAsAPlainDecimalNumber) {
  struct Case {
    std::string text;
    std::optional<std::uint16_t> port;
  };
  const Case cases[] = {
      {"9000", 9000},
      {"+80", 80},
      {"0080", 80},
      {"-0", 0},
      {"65535", 65535},
      {"65536", std::nullopt},
      {"99999999999", std::nullopt},
      {"", std::nullopt},
      {"12a", std::nullopt},
      {" 1", std::nullopt},
      {"-5", std::nullopt},
      {"+", std::nullopt},
      {"٣", std::nullopt},
  };
  for (const auto& c : cases) EXPECT_EQ(parsePort(c.text), c.port) << c.text;
}

TEST(NearbyPhone, IsBuiltFromTheServiceAndItsTxtRecord) {
  auto hasKey = [](const std::string& uid) { return uid == "U-1"; };
  struct Case {
    std::map<std::string, std::string> txt;
    std::string name, id;
    std::optional<std::string> model;
    std::optional<std::uint16_t> pairPort;
    bool paired, canPair;
  };
  const Case cases[] = {
      {{{"name", "Ana's phone"}, {"model", "Phone15,2"}, {"uid", "U-1"}, {"pair", "9002"}},
       "Ana's phone",
       "U-1",
       "Phone15,2",
       9002,
       true,
       true},
      {{{"uid", "U-1"}, {"pair", "70000"}},
       "svc-name",
       "U-1",
       std::nullopt,
       std::nullopt,
       true,
       false},
      {{{"uid", "U-2"}, {"pair", "9a"}},
       "svc-name",
       "U-2",
       std::nullopt,
       std::nullopt,
       false,
       false},
      // Without a uid a phone is never paired, and its name stands for it.
      {{{"name", "Guest"}, {"pair", "9002"}}, "Guest", "Guest", std::nullopt, 9002, false, false},
  };
  for (const auto& c : cases) {
    const NearbyPhone phone = nearbyPhone(serviceWith(c.txt), hasKey);
    EXPECT_EQ(phone.name, c.name);
    EXPECT_EQ(phone.id(), c.id);
    EXPECT_EQ(phone.model, c.model);
    EXPECT_EQ(phone.pairPort, c.pairPort) << c.name;
    EXPECT_EQ(phone.isPaired, c.paired) << c.name;
    EXPECT_EQ(phone.canPair(), c.canPair) << c.name;
    EXPECT_EQ(phone.secure, serviceWith(c.txt));
  }
}

TEST(NearbyPhone, SortsByCanonicalScalarOrderAndComparesCanonically) {
  std::vector<NearbyPhone> phones(4);
  phones[0].name = "alpha";
  phones[1].name = "Zed";
  phones[2].name = "e\u0301cole";  // decomposed: sorts as the composed form
  phones[3].name = "Beta";
  sortByName(phones);
  std::vector<std::string> names;
  for (const auto& p : phones) names.push_back(p.name);
  EXPECT_EQ(names, (std::vector<std::string>{"Beta", "Zed", "alpha", "e\u0301cole"}));

  NearbyPhone composed = phones[3];
  composed.name = "\u00e9cole";
  EXPECT_EQ(composed, phones[3]);
  EXPECT_EQ(std::hash<NearbyPhone>{}(composed), std::hash<NearbyPhone>{}(phones[3]));
  composed.pairPort = 1;
  EXPECT_NE(composed, phones[3]);
}

// Descriptions are seen in the host transport's log lines (HostTransportTests).
TEST(Route, ComparesByCaseThenValues) {
  struct Case {
    Route a, b;
    bool equal;
  };
  const Case cases[] = {
      {Route::wifi("\u00e9"), Route::wifi("e\u0301"), true},
      {Route::usb(3, "S"), Route::usb(3, "S"), true},
      {Route::usb(3, "S"), Route::usb(4, "S"), false},
      {Route::usb(3, "S"), Route::usb(3, "T"), false},
      {Route::wifi("S"), Route::usb(0, "S"), false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(c.a == c.b, c.equal) << c.a.description() << " " << c.b.description();
    if (c.equal) {
      EXPECT_EQ(std::hash<Route>{}(c.a), std::hash<Route>{}(c.b));
    }
  }
}

}  // namespace
}  // namespace brindlet::transport
