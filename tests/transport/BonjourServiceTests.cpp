#include <gtest/gtest.h>

#include "transport/BonjourService.h"

namespace brindlet::transport {
namespace {

BonjourService named(std::string name) {
  return BonjourService{
      name, ServiceEndpoint{name, "_velvane._tcp", "local", 2, "10.0.0.2", 9001}, {}};
}

TEST(BonjourService, TxtKeepsOnlyTextValues) {
  const std::vector<std::string> entries = {
      "name=Phone",       "novalue",      "empty=",    "=orphan",
      "model=iPhone15,2", "bad=\xff\xfe", "pair=9000", "name=Later"};
  const std::map<std::string, std::string> expected = {
      {"name", "Later"}, {"model", "iPhone15,2"}, {"pair", "9000"}};
  EXPECT_EQ(txtStrings(entries), expected);
  EXPECT_TRUE(txtStrings({}).empty());
}

TEST(BonjourService, SnapshotsSortByScalarsCaseSensitively) {
  std::vector<BonjourService> services = {named("alpha"), named("Zed"), named("Beta"),
                                          named("\xC3\x89mile"), named("Alpha")};
  sortByName(services);
  std::vector<std::string> names;
  for (const auto& s : services) names.push_back(s.name);
  EXPECT_EQ(names, (std::vector<std::string>{"Alpha", "Beta", "Zed", "alpha", "\xC3\x89mile"}));
}

TEST(BonjourService, EqualityAndHash) {
  BonjourService a = named("Phone");
  a.txt = {{"a", "1"}, {"b", "2"}};
  BonjourService b = named("Phone");
  b.txt.emplace("b", "2");
  b.txt.emplace("a", "1");
  EXPECT_EQ(a, b);
  EXPECT_EQ(std::hash<BonjourService>{}(a), std::hash<BonjourService>{}(b));
  BonjourService elsewhere = a;
  elsewhere.endpoint.interfaceIndex = 3;
  EXPECT_NE(a, elsewhere);
  BonjourService composed = named("Caf\xC3\xA9");
  BonjourService decomposed = composed;
  decomposed.name = "Cafe\xCC\x81";
  EXPECT_EQ(composed, decomposed);
}

}  // namespace
}  // namespace brindlet::transport
