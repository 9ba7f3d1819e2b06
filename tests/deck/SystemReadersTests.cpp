#include "deck/SystemReaders.h"

#include <sys/stat.h>

#include <gtest/gtest.h>

#include <boost/asio/io_context.hpp>
#include <chrono>
#include <cstdlib>
#include <filesystem>

#include "deck/MemoryTree.h"
#include "runtime/Blocking.h"
#include "runtime/ManualClock.h"
#include "runtime/Task.h"
#include "support/ChildProcess.h"
#include "support/Loop.h"
#include "support/TempDir.h"

namespace brindlet::deck {
namespace {

namespace asio = boost::asio;
using namespace testing;
using Role = AccessibilityTree::Role;
using Lines = std::vector<std::string>;

class CountingTable : public runtime::ProcessTable {
 public:
  std::vector<runtime::ProcessEntry> entries;
  int scans = 0;
  std::vector<runtime::ProcessEntry> scan() override {
    ++scans;
    return entries;
  }
  std::optional<std::uint64_t> terminalDevice(const std::string&) override { return {}; }
};

// A demo app: an inactive window with its own menu bar, the active one with menus, a tool bar
// and a slider; a second app whose only menu bar is in its second, inactive window.
MemoryTree demoTree() {
  MemoryTree tree;
  auto open = with(node(Role::pushButton, ""), [](Node& n) { n.description = "Open"; });
  auto volume = with(node(Role::other, "Volume"), [](Node& n) { n.value = "0.5"; });
  auto main = with(
      node(Role::frame, "Application Class",
           {node(
               Role::filler, "",
               {node(Role::panel, "",
                     {node(Role::menuBar, "",
                           {node(Role::menu, "Application", {node(Role::menuItem, "Quit")}),
                            node(Role::menu, "Preferences",
                                 {node(Role::menu, "Color", {node(Role::radioMenuItem, "Red")})})}),
                      node(Role::toolBar, "", {open}), volume})})}),
      [](Node& n) { n.active = true; });
  auto other =
      node(Role::frame, "Other",
           {node(Role::menuBar, "", {node(Role::menu, "File", {node(Role::menuItem, "Close")})})});
  tree.apps.push_back(
      with(node(Role::application, "demo", {other, main}), [](Node& n) { n.pid = 42; }));
  auto plain = node(Role::dialog, "Plain", {node(Role::other, "x")});
  auto edit =
      node(Role::window, "Edit window", {node(Role::menuBar, "", {node(Role::menu, "Edit")})});
  tree.apps.push_back(
      with(node(Role::application, "second", {plain, edit}), [](Node& n) { n.pid = 43; }));
  tree.apps.push_back(with(node(Role::application, "hidden"), [](Node& n) { n.pid = 44; }));
  return tree;
}

TEST(SystemReaders, PathsOnATree) {
  struct Row {
    int pid;
    std::string path;
    std::optional<std::string> expected;
  };
  const std::vector<Row> rows = {
      {42, "menubar/Application/Quit", "Quit"},
      {42, "menubar/Preferences/Color/Red", "Red"},
      {42, "//menubar//Application/Quit/", "Quit"},
      {42, "menubar/Application/Missing", std::nullopt},
      {42, "menubar/application/Quit", std::nullopt},
      {42, "menubar/File/Close", std::nullopt},  // the active window's bar wins
      {43, "menubar/Edit", "Edit"},              // else the first window that has one
      {44, "menubar", std::nullopt},
      {42, "window[0]", "Other"},
      {42, "window[+1]", "Application Class"},
      {42, "window[1]/value", "Application Class"},
      {42, "window[1]/Volume/value", "0.5"},
      {42, "value/window[1]/Volume", "0.5"},
      {42, "window[1]/Volume", "Volume"},
      {42, "window[1]/toolbar/Open", "Open"},
      {42, "window[2]", std::nullopt},
      {42, "window[-1]", std::nullopt},
      {42, "window[x]", std::nullopt},
      {42, "window[]", std::nullopt},
      {42, "window[", std::nullopt},
      {42, "window[1]/Quit", std::nullopt},  // three levels of groups at most
      {42, "", "demo"},
      {7, "", std::nullopt},
  };
  auto tree = demoTree();
  for (const auto& row : rows) {
    EXPECT_EQ(SystemReaders::valueAt(tree, row.pid, row.path), row.expected) << row.path;
  }
}

TEST(SystemReaders, ReadsByKind) {
  asio::io_context io;
  runtime::ManualClock clock;
  auto tree = demoTree();
  CountingTable table;
  table.entries = {{100, "bash"}, {101, "zoom"}};
  SystemReaders readers(tree, table, clock);
  const FrontApp demo{"demo", "Demo", 42};
  auto reader = [](profiles::Reader::Kind kind, std::optional<std::string> path,
                   std::optional<std::string> name = std::nullopt) {
    profiles::Reader r;
    r.reader = kind;
    r.path = std::move(path);
    r.name = std::move(name);
    return r;
  };
  using K = profiles::Reader::Kind;
  struct Row {
    profiles::Reader reader;
    std::optional<FrontApp> app;
    std::optional<std::string> value;
  };
  const std::vector<Row> rows = {
      {reader(K::axValue, "menubar/Application/Quit"), demo, "Quit"},
      {reader(K::axValue, "menubar/Application/Quit"), std::nullopt, std::nullopt},
      {reader(K::axValue, std::nullopt), demo, std::nullopt},
      {reader(K::process, std::nullopt, "zoom"), demo, "zoom"},
      {reader(K::process, std::nullopt, "second"), demo, "second"},  // an app with windows
      {reader(K::process, std::nullopt, "hidden"), demo, std::nullopt},
      {reader(K::process, std::nullopt, "Zoom"), demo, std::nullopt},
      {reader(K::process, std::nullopt), demo, std::nullopt},
      {reader(K::meetingTimer, std::nullopt), demo, std::nullopt},
  };
  for (const auto& row : rows) {
    const auto got = brindlet::testing::runUntilDone(io, readers.read(row.reader, row.app));
    EXPECT_EQ(got, (ReaderValue{row.value, std::nullopt}))
        << row.reader.path.value_or("") << row.reader.name.value_or("");
  }
  EXPECT_EQ(table.scans, 1);  // one scan serves a refresh
  clock.advance(std::chrono::milliseconds(250));
  brindlet::testing::runUntilDone(
      io, readers.read(reader(K::process, std::nullopt, "zoom"), std::nullopt));
  EXPECT_EQ(table.scans, 2);
}

TEST(SystemReaders, LogTails) {
  testsupport::TempDir dir;
  ASSERT_EQ(::setenv("HOME", dir.path().c_str(), 1), 0);
  std::string ten;
  for (int i = 1; i <= 10; ++i) ten += "line " + std::to_string(i) + "\n";
  // 101 ASCII bytes put the 64 KiB cut on the second byte of a two-byte character.
  std::string accents;
  for (int i = 0; i < 40000; ++i) accents += "\xC3\xA9";
  dir.write("ten.log", ten);
  dir.write("empty.log", "");
  dir.write("crlf.log", "one\r\ntwo\r\n\r\nthree");
  dir.write("cut.log", std::string(101, 'a') + accents + "\nlast\n");
  dir.write("binary.log", "ok\n\xFF\n");
  ASSERT_EQ(::mkfifo(dir.file("fifo").c_str(), 0600), 0);
  const Lines lastSix = {"line 5", "line 6", "line 7", "line 8", "line 9", "line 10"};
  std::string cutTail;
  for (int i = 0; i < 32765; ++i) cutTail += "\xC3\xA9";

  struct Row {
    std::string path;
    std::optional<std::int64_t> count;
    std::optional<Lines> lines;
  };
  const std::vector<Row> rows = {
      {dir.file("ten.log"), std::nullopt, lastSix},
      {dir.file("ten.log"), 2, Lines{"line 9", "line 10"}},
      {dir.file("ten.log"), 0, Lines{}},
      {dir.file("ten.log"), -3, Lines{}},
      {"~/ten.log", 1, Lines{"line 10"}},
      {dir.file("empty.log"), std::nullopt, Lines{}},
      {dir.file("missing.log"), std::nullopt, std::nullopt},
      {dir.file("crlf.log"), std::nullopt, Lines{"one", "two", "three"}},
      {dir.file("cut.log"), std::nullopt, Lines{cutTail, "last"}},
      {dir.file("binary.log"), std::nullopt, Lines{}},
      {dir.file("fifo"), std::nullopt, std::nullopt},
      {dir.path(), std::nullopt, std::nullopt},
  };
  asio::io_context io;
  runtime::ManualClock clock;
  MemoryTree tree;
  CountingTable table;
  SystemReaders readers(tree, table, clock);
  for (const auto& row : rows) {
    profiles::Reader reader;
    reader.reader = profiles::Reader::Kind::logTail;
    reader.path = row.path;
    reader.lines = row.count;
    const auto started = std::chrono::steady_clock::now();
    const auto got = brindlet::testing::runUntilDone(io, readers.read(reader, std::nullopt));
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(1)) << row.path;
    std::optional<std::string> last;
    if (row.lines && !row.lines->empty()) last = row.lines->back();
    EXPECT_EQ(got, (ReaderValue{last, row.lines})) << row.path << " " << row.count.value_or(6);
  }
}

// A log's tail is read on the blocking worker: read on the loop itself, it ends the process.
TEST(SystemReaders, ReadingALogOnTheLoopEndsTheProcess) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  // The death check's child runs this test again and ends without destructors: the temporary
  // folder is made after it, and the child reads a file that is always there.
  asio::io_context io;
  auto onLoop = [&]() -> asio::awaitable<std::optional<Lines>> {
    co_return SystemReaders::tailLines("/proc/self/stat", 1);
  };
  EXPECT_DEATH(brindlet::testing::runUntilDone(io, onLoop()), "blocking call on the main loop");
  testsupport::TempDir dir;
  dir.write("one.log", "one\n");
  EXPECT_EQ(SystemReaders::tailLines(dir.file("one.log"), 1), Lines{"one"});
}

}  // namespace
}  // namespace brindlet::deck
