#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include <boost/asio/io_context.hpp>
#include <filesystem>
#include <fstream>

#include "runtime/Defaults.h"
#include "runtime/FileDefaults.h"
#include "support/Loop.h"
#include "support/TempDir.h"

namespace brindlet::runtime {
namespace {

// The behaviour every Defaults shares, run against each class by a fixture that makes one.
struct MemoryMaker {
  std::unique_ptr<Defaults> make() { return std::make_unique<MemoryDefaults>(); }
};

struct FileMaker {
  testsupport::TempDir dir;
  boost::asio::io_context loop;
  std::string file() const { return dir.file("brindlet/defaults.json"); }
  std::unique_ptr<Defaults> make() { return std::make_unique<FileDefaults>(loop, file()); }
};

template <class Maker>
class DefaultsContract : public ::testing::Test {
 protected:
  Maker maker;
};

using Makers = ::testing::Types<MemoryMaker, FileMaker>;
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

std::string contentsOf(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

TEST(FileDefaults, AnotherWritersChangesReachReadersAndObserversOfChangedKeysOnly) {
  FileMaker maker;
  auto ours = maker.make();
  auto theirs = maker.make();
  ours->setInteger("dockEdge", 2);
  ours->setText("VelvaneIconStyle", "mono");
  std::vector<std::string> heard;
  auto edge = ours->observe("dockEdge", [&] { heard.push_back("edge"); });
  auto style = ours->observe("VelvaneIconStyle", [&] { heard.push_back("style"); });
  auto windows = ours->observe("openWindowsOnPhone", [&] { heard.push_back("windows"); });

  testing::drain(maker.loop);
  theirs->setBoolean("openWindowsOnPhone", true);  // theirs read ours' keys before writing
  theirs->setInteger("dockEdge", 2);
  testing::drain(maker.loop);
  EXPECT_EQ(ours->boolean("openWindowsOnPhone"), true);
  EXPECT_EQ(heard, std::vector<std::string>{"windows"});

  {  // an editor that writes in place
    std::ofstream edit(maker.file(), std::ios::trunc);
    edit << R"({"dockEdge": 3, "openWindowsOnPhone": true})";
  }
  testing::drain(maker.loop);
  EXPECT_EQ(ours->integer("dockEdge"), 3);
  EXPECT_EQ(ours->text("VelvaneIconStyle"), std::nullopt);
  EXPECT_EQ(heard, (std::vector<std::string>{"windows", "style", "edge"}));  // in key order
  namespace fs = std::filesystem;
  EXPECT_EQ(fs::status(fs::path(maker.file()).parent_path()).permissions(), fs::perms::owner_all);
}

TEST(FileDefaults, ValuesOfOtherKindsReadAsAbsentAndSurviveChanges) {
  FileMaker maker;
  std::filesystem::create_directory(maker.dir.file("brindlet"));
  maker.dir.write("brindlet/defaults.json",
                  R"({"f": 1.5, "u": 18446744073709551615, "n": null, "a": [1], "o": {"k": 1},)"
                  R"( "z": 0, "big": 9223372036854775807})");
  auto defaults = maker.make();
  for (auto* key : {"f", "u", "n", "a", "o", "z"}) {
    EXPECT_EQ(defaults->boolean(key), std::nullopt) << key;
    EXPECT_EQ(defaults->text(key), std::nullopt) << key;
  }
  for (auto* key : {"f", "u", "n", "a", "o"})
    EXPECT_EQ(defaults->integer(key), std::nullopt) << key;
  EXPECT_EQ(defaults->integer("big"), INT64_MAX);
  defaults->setText("t", "x");
  EXPECT_EQ(contentsOf(maker.file()),
            R"({"a":[1],"big":9223372036854775807,"f":1.5,"n":null,"o":{"k":1},"t":"x",)"
            R"("u":18446744073709551615,"z":0})");
}

TEST(FileDefaults, CorruptFileReadsAsEmptyAndIsKeptUntilTheNextChange) {
  for (const std::string corrupt : {"{\"dockEdge\": 1", "[1]", "\xff", ""}) {
    FileMaker maker;
    std::filesystem::create_directory(maker.dir.file("brindlet"));
    maker.dir.write("brindlet/defaults.json", corrupt);
    auto defaults = maker.make();
    EXPECT_EQ(defaults->integer("dockEdge"), std::nullopt);
    defaults->remove("dockEdge");
    testing::drain(maker.loop);
    EXPECT_EQ(contentsOf(maker.file()), corrupt);
    defaults->setInteger("dockEdge", 4);
    EXPECT_EQ(contentsOf(maker.file()), R"({"dockEdge":4})");
  }
}

}  // namespace
}  // namespace brindlet::runtime
