#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "runtime/Defaults.h"

namespace brindlet::runtime {
namespace {

// The behaviour every Defaults shares, run against each class by a fixture that makes one.
struct MemoryMaker {
  std::unique_ptr<Defaults> make() { return std::make_unique<MemoryDefaults>(); }
};

template <class Maker>
class DefaultsContract : public ::testing::Test {
 protected:
  Maker maker;
};

using Makers = ::testing::Types<MemoryMaker>;
TYPED_TEST_SUITE(DefaultsContract, Makers);

TYPED_TEST(DefaultsContract, StoresEachTypeAndReadsOtherTypesAsAbsent) {
  auto defaults = this->maker.make();
  defaults->setBoolean("openWindowsOnPhone", true);
  defaults->setInteger("dockEdge", -3);
  defaults->setText("VelvaneIconStyle", "mono \"é\"");
  EXPECT_EQ(defaults->boolean("openWindowsOnPhone"), true);
  EXPECT_EQ(defaults->integer("dockEdge"), -3);
  EXPECT_EQ(defaults->text("VelvaneIconStyle"), "mono \"é\"");
  EXPECT_EQ(defaults->integer("openWindowsOnPhone"), std::nullopt);
  EXPECT_EQ(defaults->text("dockEdge"), std::nullopt);
  EXPECT_EQ(defaults->boolean("VelvaneIconStyle"), std::nullopt);
  EXPECT_EQ(defaults->boolean("missing"), std::nullopt);
  defaults->setText("dockEdge", "left");
  EXPECT_EQ(defaults->integer("dockEdge"), std::nullopt);
  EXPECT_EQ(defaults->text("dockEdge"), "left");
  defaults->remove("dockEdge");
  EXPECT_EQ(defaults->text("dockEdge"), std::nullopt);
}

TYPED_TEST(DefaultsContract, ObserversHearOnlyChangesOfTheirKeyWhileSubscribed) {
  auto defaults = this->maker.make();
  std::vector<std::string> heard;
  auto edge = defaults->observe("dockEdge", [&] { heard.push_back("edge"); });
  Defaults::Subscription windows;
  windows = defaults->observe("openWindowsOnPhone", [&] {
    heard.push_back("windows");
    windows.reset();  // a callback may end its own subscription
  });
  defaults->setInteger("dockEdge", 1);
  defaults->setInteger("dockEdge", 1);  // unchanged: nobody hears
  defaults->setText("dockEdge", "1");   // another type is a change
  defaults->remove("missing");
  defaults->setBoolean("openWindowsOnPhone", true);
  defaults->setBoolean("openWindowsOnPhone", false);
  defaults->remove("dockEdge");
  defaults->remove("dockEdge");
  edge.reset();
  defaults->setInteger("dockEdge", 2);
  EXPECT_EQ(heard, (std::vector<std::string>{"edge", "edge", "windows", "edge"}));
}

}  // namespace
}  // namespace brindlet::runtime
