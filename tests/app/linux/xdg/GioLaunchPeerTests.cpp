// The written entry launched by GLib's own desktop-entry launcher: the program it names starts,
// even from a folder whose name holds a blank, a quote, a "$" and a "%".

#include <filesystem>
#include <fstream>

#include <gtest/gtest.h>

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

}  // namespace
}  // namespace brindlet::platform
