// The written entry launched by GLib's own desktop-entry launcher: the program it names starts,
// even from a folder whose name holds a blank, a quote, a "$" and a "%". GLib's reading of the
// rows that the unit tests read.

#include <cstdlib>
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

// A program at `program` that writes the name it was started by to `marker`.
void placeProgram(const fs::path& program, const fs::path& marker) {
  fs::create_directories(program.parent_path());
  {
    std::ofstream script(program);
    script << "#!/bin/sh\necho \"$0\" > '" << marker.string() << "'\n";
  }
  fs::permissions(program, fs::perms::owner_all);
}

// What GLib's launcher starts from the entry, from the root folder and with a PATH that lacks the
// program's folder, as a menu would: the name the program was started by, once it writes it.
std::string launch(const fs::path& entry, const fs::path& marker) {
  // The launched program must not hold the run's output: a run whose output is still held when
  // it ends has its group ended with it.
  const auto launched = testsupport::runProgram(
      {"sh", "-c", "cd / && exec env PATH=/usr/bin:/bin gio launch \"$0\" >/dev/null 2>&1",
       entry.string()});
  EXPECT_EQ(launched.status, 0) << entry;
  if (!testsupport::eventually([&] { return fs::exists(marker); }, 10s)) return "";
  testsupport::eventually([&] { return !testsupport::readFile(marker).empty(); }, 2s);
  return testsupport::readFile(marker);
}

TEST(GioLaunch, StartsTheProgramTheEntryNames) {
  testsupport::TempDir dir;
  const fs::path folder = fs::path(dir.path()) / "odd \"name\" $HOME %u";
  const fs::path program = folder / "brindlet";
  const fs::path marker = fs::path(dir.path()) / "started";
  placeProgram(program, marker);

  boost::asio::io_context io;
  XdgAutostartItem item(fs::path(dir.path()) / "autostart" / "brindlet.desktop", program);
  testing::runUntilDone(io, item.setEnabled(true));
  EXPECT_EQ(launch(item.entry(), marker), program.string() + "\n");
  EXPECT_TRUE(testing::runUntilDone(io, item.isEnabled()));
}

// The menu entry that `cmake --install` writes names the installed program by its whole path,
// however the prefix was given.
TEST(GioLaunch, TheInstalledMenuEntryStartsTheInstalledProgram) {
  const char* source = std::getenv("BRINDLET_SOURCE_DIR");
  ASSERT_NE(source, nullptr);
  testsupport::TempDir dir;
  const struct {
    const char* name;
    std::string prefix;  // as given to the install, which runs in `dir`
    fs::path installed;
  } rows[] = {
      {"a relative prefix", "relinst", fs::path(dir.path()) / "relinst"},
      {"a prefix with a blank, quotes, $ and %", dir.path() + "/odd \"name\" $HOME 50%",
       dir.path() + "/odd \"name\" $HOME 50%"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    const fs::path marker = fs::path(dir.path()) / "started";
    fs::remove(marker);
    placeProgram(row.installed / "bin/brindlet", marker);
    const auto installed = testsupport::runProgram(
        {"sh", "-c", "cd \"$0\" && exec cmake \"$@\" 2>&1", dir.path(),
         "-DCMAKE_INSTALL_PREFIX=" + row.prefix,
         std::string("-DBRINDLET_DESKTOP_TEMPLATE=") + source + "/data/brindlet.desktop.in", "-P",
         std::string(source) + "/src/app/qt/InstallDesktopEntry.cmake"});
    ASSERT_EQ(installed.status, 0) << installed.output;
    const fs::path entry = row.installed / "share/applications/brindlet.desktop";
    EXPECT_EQ(launch(entry, marker), (row.installed / "bin/brindlet").string() + "\n")
        << testsupport::readFile(entry);
  }
}

// Whether GLib starts each row's program from its entry at login, each row read in a process of
// its own with the row's PATH and desktop (GLib reads the desktop once a process): GLib loads it,
// the autostart rules, read through GLib as GNOME's session reads them, keep it, and the command
// GLib launches from it, as the session launches it, runs the program.
TEST(GioLaunch, GLibStartsEachRowAsTheRowSays) {
  testsupport::TempDir dir;
  const std::string marker = dir.file("started");
  placePrograms(dir.path(), "echo \"$0\" > '" + marker + "'\n");
  std::vector<std::string> line{
      "/usr/bin/python3", "-c",
      "import os, sys, gi\n"
      "gi.require_version('Gio', '2.0')\n"
      "from gi.repository import Gio, GLib\n"
      "marker = sys.argv[1]\n"
      "def starts(f, program):\n"
      "    try:\n"
      "        info = Gio.DesktopAppInfo.new_from_filename(f)\n"
      "    except TypeError:\n"  // PyGObject's word for an app GLib does not make
      "        return False\n"
      "    key = 'X-GNOME-Autostart-enabled'\n"
      "    if info.get_is_hidden() or (info.has_key(key) and not info.get_boolean(key)):\n"
      "        return False\n"
      "    if not info.get_show_in(None):\n"
      "        return False\n"
      "    pids = []\n"
      "    flags = GLib.SpawnFlags.SEARCH_PATH | GLib.SpawnFlags.DO_NOT_REAP_CHILD\n"
      "    try:\n"
      "        info.launch_uris_as_manager([], None, flags, None, None,\n"
      "                                    lambda i, pid, d: pids.append(pid), None)\n"
      "    except GLib.Error:\n"  // such as a working folder it cannot enter
      "        return False\n"
      "    for pid in pids:\n"
      "        os.waitpid(pid, 0)\n"
      "    return os.path.exists(marker) and open(marker).read() == program + '\\n'\n"
      "rows = sys.argv[2:]\n"
      "for i in range(0, len(rows), 4):\n"
      "    f, path, desktop, program = rows[i:i + 4]\n"
      "    if os.path.exists(marker):\n"
      "        os.remove(marker)\n"
      "    child = os.fork()\n"
      "    if child == 0:\n"
      "        answers = os.dup(1)\n"
      "        for stream in (1, 2):\n"  // what the programs print and complain
      "            os.dup2(os.open(os.devnull, os.O_WRONLY), stream)\n"
      "        os.environ['PATH'] = path\n"
      "        os.environ.pop('XDG_CURRENT_DESKTOP', None)\n"
      "        if desktop:\n"
      "            os.environ['XDG_CURRENT_DESKTOP'] = desktop\n"
      "        try:\n"
      "            os.write(answers, b'%d\\n' % starts(f, program))\n"
      "        finally:\n"
      "            os._exit(0)\n"
      "    os.waitpid(child, 0)",
      marker};
  int i = 0;
  for (const auto& row : execRows) {
    const std::string entry = "row" + std::to_string(++i) + ".desktop";
    dir.write(entry, entryWith(row, dir.path()));
    const auto environment = environmentOf(row, dir.path());
    line.insert(line.end(), {dir.file(entry), *environment[0].second,
                             environment[1].second.value_or(""), dir.path() + row.program});
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
