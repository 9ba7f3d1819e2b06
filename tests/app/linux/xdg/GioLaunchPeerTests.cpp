// The written entry launched by GLib's own desktop-entry launcher: the program it names starts,
// even from a folder whose name holds a blank, a quote, a "$" and a "%". GLib's reading of the
// Exec rows that the unit tests read.

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "app/linux/xdg/ExecRows.h"
#include "app/linux/xdg/XdgAutostartItem.h"
#include "support/ChildProcess.h"
#include "support/Eventually.h"
#include "support/Loop.h"
#include "support/TempDir.h"

namespace brindlet::platform {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

TEST(GioLaunch, StartsTheProgramTheEntryNames) {
  testsupport::TempDir dir;
  const fs::path folder = fs::path(dir.path()) / "odd \"name\" $HOME %u";
  fs::create_directories(folder);
  const fs::path program = folder / "brindlet";
  const fs::path marker = fs::path(dir.path()) / "started";
  {
    std::ofstream script(program);
    script << "#!/bin/sh\necho \"$0\" > '" << marker.string() << "'\n";
  }
  fs::permissions(program, fs::perms::owner_all);

  boost::asio::io_context io;
  XdgAutostartItem item(fs::path(dir.path()) / "autostart" / "brindlet.desktop", program);
  testing::runUntilDone(io, item.setEnabled(true));
  // The launched program must not hold the run's output: a run whose output is still held when
  // it ends has its group ended with it.
  const auto launched = testsupport::runProgram(
      {"sh", "-c", "exec gio launch \"$0\" >/dev/null 2>&1", item.entry().string()});
  EXPECT_EQ(launched.status, 0);
  ASSERT_TRUE(testsupport::eventually([&] { return fs::exists(marker); }, 10s));
  EXPECT_TRUE(testsupport::eventually(
      [&] { return testsupport::readFile(marker) == program.string() + "\n"; }, 2s));
  EXPECT_TRUE(testing::runUntilDone(io, item.isEnabled()));
}

// Whether GLib takes each row's entry as one it can start: it splits the Exec value and finds the
// program it names.
TEST(GioLaunch, GLibSplitsEachExecRowAsTheRowSays) {
  testsupport::TempDir dir;
  const fs::path program = fs::path(dir.path()) / "My Apps" / "brindlet";
  fs::create_directories(program.parent_path());
  std::ofstream(program) << "#!/bin/sh\n";
  fs::permissions(program, fs::perms::owner_all);
  std::vector<std::string> line{
      "/usr/bin/python3", "-c",
      "import sys, gi\n"
      "gi.require_version('Gio', '2.0')\n"
      "from gi.repository import Gio\n"
      "for f in sys.argv[1:]:\n"
      "    try:\n"
      "        print(int(Gio.DesktopAppInfo.new_from_filename(f) is not None))\n"
      "    except TypeError:\n"  // PyGObject's word for an app GLib does not make
      "        print(0)"};
  int i = 0;
  for (const auto& row : execRows) {
    const std::string entry = "row" + std::to_string(++i) + ".desktop";
    dir.write(entry, entryWith(row, dir.path()));
    line.push_back(dir.file(entry));
  }
  const auto glib = testsupport::runProgram(line);
  ASSERT_EQ(glib.status, 0) << glib.output;
  std::istringstream answers(glib.output);
  for (const auto& row : execRows) {
    std::string answer;
    std::getline(answers, answer);
    EXPECT_EQ(answer, row.starts ? "1" : "0") << row.name;
  }
}

}  // namespace
}  // namespace brindlet::platform
