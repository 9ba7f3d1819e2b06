#include <gtest/gtest.h>

#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <regex>
#include <set>
#include <string>
#include <vector>

#include "runtime/Defaults.h"
#include "runtime/FileDefaults.h"
#include "runtime/Log.h"
#include "runtime/MainLoop.h"
#include "runtime/MemoryDefaults.h"
#include "support/Loop.h"
#include "support/TempDir.h"

namespace brindlet::runtime {
namespace {

struct MemoryMaker {
  std::unique_ptr<Defaults> make() { return std::make_unique<MemoryDefaults>(); }
};

struct FileMaker {
  testsupport::TempDir dir;
  boost::asio::io_context loop;
  std::string file() const { return dir.file("brindlet/defaults.json"); }
  std::unique_ptr<Defaults> make() { return std::make_unique<FileDefaults>(loop, file()); }
  std::string stored() const { return testsupport::readFile(file()); }
};

// What every Defaults does, run against each class.
template <class Maker>
class DefaultsContract : public ::testing::Test {
 protected:
  Maker maker;
};
using Makers = ::testing::Types<MemoryMaker, FileMaker>;
TYPED_TEST_SUITE(DefaultsContract, Makers);

TYPED_TEST(DefaultsContract, ReadsEachTypeAsStoredAndTellsObserversOfTheirKeysChanges) {
  auto defaults = this->maker.make();
  std::vector<std::string> heard;
  auto edge = defaults->observe("dockEdge", [&] { heard.push_back("edge"); });
  Subscription windows;
  windows = defaults->observe("openWindowsOnPhone", [&] {
    heard.push_back("windows");
    windows.reset();  // a callback may end its own subscription
  });
  defaults->setBoolean("openWindowsOnPhone", true);
  defaults->setBoolean("openWindowsOnPhone", false);
  defaults->setInteger("dockEdge", -3);
  defaults->setInteger("dockEdge", -3);  // unchanged: nobody hears
  defaults->setText("VelvaneIconStyle", "mono \"é\"");
  EXPECT_EQ(defaults->boolean("openWindowsOnPhone"), false);
  EXPECT_EQ(defaults->integer("dockEdge"), -3);
  EXPECT_EQ(defaults->text("VelvaneIconStyle"), "mono \"é\"");
  EXPECT_EQ(defaults->integer("openWindowsOnPhone"), std::nullopt);
  EXPECT_EQ(defaults->text("dockEdge"), std::nullopt);
  EXPECT_EQ(defaults->boolean("VelvaneIconStyle"), std::nullopt);
  defaults->setText("dockEdge", "-3");  // another type is a change
  defaults->remove("dockEdge");
  defaults->remove("dockEdge");
  EXPECT_EQ(defaults->text("dockEdge"), std::nullopt);
  edge.reset();
  defaults->setInteger("dockEdge", 2);
  EXPECT_EQ(heard, (std::vector<std::string>{"windows", "edge", "edge", "edge"}));
}

TEST(FileDefaults, AnotherWritersChangesReachReadersAndObserversOfChangedKeysOnly) {
  FileMaker maker;
  auto ours = maker.make();
  auto theirs = maker.make();
  ours->setInteger("dockEdge", 2);
  ours->setText("VelvaneIconStyle", "mono");
  static_cast<FileDefaults&>(*ours).flush();
  std::vector<std::string> heard;
  auto edge = ours->observe("dockEdge", [&] { heard.push_back("edge"); });
  auto style = ours->observe("VelvaneIconStyle", [&] { heard.push_back("style"); });
  auto windows = ours->observe("openWindowsOnPhone", [&] { heard.push_back("windows"); });
  testing::drain(maker.loop);
  theirs->setBoolean("openWindowsOnPhone", true);  // on top of ours' keys, which stay
  static_cast<FileDefaults&>(*theirs).flush();
  testing::drain(maker.loop);
  EXPECT_EQ(ours->boolean("openWindowsOnPhone"), true);
  {  // an editor that writes in place
    std::ofstream edit(maker.file(), std::ios::trunc);
    edit << R"({"dockEdge": 3, "openWindowsOnPhone": true})";
  }
  testing::drain(maker.loop);
  EXPECT_EQ(ours->integer("dockEdge"), 3);
  EXPECT_EQ(heard, (std::vector<std::string>{"windows", "style", "edge"}));  // in key order
  namespace fs = std::filesystem;
  EXPECT_EQ(fs::status(fs::path(maker.file()).parent_path()).permissions(), fs::perms::owner_all);
  EXPECT_EQ(fs::status(maker.file()).permissions(), fs::perms::owner_read | fs::perms::owner_write);
}

TEST(FileDefaults, StrangeValuesReadAsAbsentAndAreKeptByTheNextChange) {
  const std::pair<std::string, std::string> cases[] = {
      // Kinds this store does not write are kept; none reads as an integer.
      {R"({"dockEdge": 1.5, "n": null, "a": [1]})", R"({"a":[1],"dockEdge":1.5,"n":null,"x":1})"},
      {R"({"dockEdge": 9223372036854775808})", R"({"dockEdge":9223372036854775808,"x":1})"},
      {R"({"dockEdge": "1"})", R"({"dockEdge":"1","x":1})"},
  };
  for (const auto& [stored, changed] : cases) {
    FileMaker maker;
    std::filesystem::create_directory(maker.dir.file("brindlet"));
    maker.dir.write("brindlet/defaults.json", stored);
    auto defaults = maker.make();
    EXPECT_EQ(defaults->integer("dockEdge"), std::nullopt) << stored;
    defaults->remove("missing");
    testing::drain(maker.loop);
    EXPECT_EQ(maker.stored(), stored);
    defaults->setInteger("x", 1);
    defaults.reset();
    EXPECT_EQ(maker.stored(), changed);
  }
}

// A file that cannot be read is read as empty, said so when it is opened, and left alone until
// the next change, which moves it aside, never over an earlier kept copy, and says where. A number
// too large for a double could never be written back: such a file is one that cannot be read.
// Tests run as root, who reads a file of mode 000: a folder in the file's place is what cannot be
// read here.
TEST(FileDefaults, UnreadableFilesAreKeptAsideBeforeTheNextChange) {
  namespace fs = std::filesystem;
  const std::string random("\x8b\x00\xff\x13\x7f\xc3\x28 {", 10);
  const std::string notJson = "it is not JSON this app can keep (";
  const struct {
    const char* name;
    std::string stored;  // a folder when empty and `folder`
    std::string why;     // how the log lines start saying why
    bool folder = false;
  } rows[] = {
      {"truncated", R"({"onboardingComplete":true,"dockEdge":"left",)", notJson + "line 1"},
      {"array", R"([{"dockEdge":"left"}])", "it holds no JSON object"},
      {"random bytes", random, notJson + "line 1"},
      {"empty", "", notJson},
      {"too large a number", R"({"dockEdge":"left","n":[1,{"weird":-1e400}]})",
       notJson + "n.1.weird: number -1e400 does not fit in Double)"},
      {"unreadable", "", "it is a folder, not a file", true},
  };
  FileMaker maker;
  const fs::path folder = maker.dir.file("brindlet");
  fs::create_directory(folder);
  std::set<fs::path> kept;
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    for (int round = 0; round < 2; ++round) {  // the second one's copy beside the first's
      if (row.folder) {
        fs::remove(maker.file());
        fs::create_directory(maker.file());
      } else {
        maker.dir.write("brindlet/defaults.json", row.stored);
      }
      LogCapture log;
      auto defaults = maker.make();
      EXPECT_EQ(defaults->text("dockEdge"), std::nullopt);
      defaults->setInteger("x", 1);
      defaults.reset();
      EXPECT_EQ(maker.stored(), R"({"x":1})");
      std::set<fs::path> now;
      for (const auto& entry : fs::directory_iterator(folder))
        if (entry.path().filename().string().starts_with("defaults.json.unreadable-"))
          now.insert(entry.path());
      ASSERT_EQ(now.size(), kept.size() + 1);
      fs::path copy;
      for (const auto& path : now)
        if (!kept.contains(path)) copy = path;
      kept = now;
      EXPECT_TRUE(
          std::regex_match(copy.filename().string(),
                           std::regex(R"(defaults\.json\.unreadable-\d{8}T\d{6}Z(-\d+)?)")));
      if (row.folder) {
        EXPECT_TRUE(fs::is_directory(copy));
      } else {
        EXPECT_EQ(testsupport::readFile(copy), row.stored);
      }
      const auto lines = log.messages("defaults", LogLevel::error);
      ASSERT_EQ(lines.size(), 2u);
      EXPECT_EQ(lines[0].rfind("Can't read " + maker.file() + ": " + row.why, 0), 0u) << lines[0];
      EXPECT_EQ(lines[1].rfind(
                    "Kept unreadable " + maker.file() + " as " + copy.string() + ": " + row.why, 0),
                0u)
          << lines[1];
    }
  }
}

// Changes are seen at once and written together once they have gathered for a while.
TEST(FileDefaults, WritesChangesTogetherOnTheWorkerAfterTheirDelay) {
  FileMaker maker;
  auto defaults = maker.make();
  int heard = 0;
  auto counter = defaults->observe("counter", [&] { ++heard; });
  const auto started = std::chrono::steady_clock::now();
  for (int i = 1; i <= 50; ++i) defaults->setInteger("counter", i);
  defaults->setText("name", "last");
  EXPECT_EQ(heard, 50);
  EXPECT_EQ(defaults->integer("counter"), 50);
  testing::drain(maker.loop);
  EXPECT_FALSE(std::filesystem::exists(maker.file()));
  const std::string wanted = R"({"counter":50,"name":"last"})";
  EXPECT_TRUE(testing::runUntil(maker.loop, [&] {
    return std::filesystem::exists(maker.file()) && maker.stored() == wanted;
  }));
  EXPECT_GE(std::chrono::steady_clock::now() - started, FileDefaults::writeDelay);
  EXPECT_EQ(defaults->integer("counter"), 50);  // its own write read back changes nothing
  EXPECT_EQ(heard, 50);
}

// Nothing set is lost on a clean exit: at the loop's stop, or when the store goes.
TEST(FileDefaults, UnwrittenChangesAreWrittenWhenTheLoopStopsAndWhenTheStoreGoes) {
  testsupport::TempDir dir;
  const std::string file = dir.file("brindlet/defaults.json");
  MainLoop loop;
  auto defaults = std::make_unique<FileDefaults>(loop.context(), file);
  boost::asio::post(loop.context(), [&] {
    defaults->setInteger("a", 1);
    loop.stop();
  });
  loop.run();
  EXPECT_EQ(testsupport::readFile(file), R"({"a":1})");
  defaults->setInteger("b", 2);
  defaults.reset();
  EXPECT_EQ(testsupport::readFile(file), R"({"a":1,"b":2})");
}

// A save tells its caller why the changes could not be written; they stay unwritten, not lost,
// and a later save writes them.
TEST(FileDefaults, ASaveSaysWhyItFailedAndALaterOneWritesTheChanges) {
  FileMaker maker;
  auto defaults = maker.make();
  const std::string folder = maker.dir.file("brindlet");
  std::filesystem::remove(folder);
  maker.dir.write("brindlet", "");  // a file where the folder goes
  LogCapture log;
  defaults->setBoolean("onboardingComplete", true);
  EXPECT_EQ(testing::runUntilDone(maker.loop, defaults->save()), "Not a directory");
  EXPECT_EQ(log.messages("defaults", LogLevel::error).size(), 1u);
  std::filesystem::remove(folder);
  EXPECT_EQ(testing::runUntilDone(maker.loop, defaults->save()), std::nullopt);
  EXPECT_EQ(maker.stored(), R"({"onboardingComplete":true})");
}

}  // namespace
}  // namespace brindlet::runtime
