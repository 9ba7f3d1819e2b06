// The README's "Running it" commands, read from README.md itself and run as printed, in order,
// on a build tree that holds only what scripts/run builds.

#include <chrono>
#include <fstream>
#include <iostream>
#include <string>
#include <vector>

#include "AppHarness.h"

namespace brindlet::app::testing {
namespace {

const std::string source = BRINDLET_SOURCE_DIR;

// The commands of the README's "Running it" block: each indented line up to its comment; lines
// that hold only a comment carry on the one before.
std::vector<std::string> readmeCommands() {
  std::ifstream readme(source + "/README.md");
  std::vector<std::string> commands;
  bool section = false;
  for (std::string line; std::getline(readme, line);) {
    if (line.starts_with("## ")) section = line == "## Running it";
    if (!section) continue;
    if (!line.starts_with("    ")) {
      if (!commands.empty() && !line.empty()) break;
      continue;
    }
    std::string command = line.substr(0, line.find('#'));
    command.erase(0, command.find_first_not_of(' '));
    command.erase(command.find_last_not_of(' ') + 1);
    if (!command.empty()) commands.push_back(command);
  }
  return commands;
}

// Runs commands in the caller's build tree as a copy only they see: an overlay in a mount
// namespace of their own, whose changes stay in `folder` across runs. Other tests read the same
// tree meanwhile, untouched. The README's relative paths lead from `folder`'s "top" to this
// checkout's files and to the build tree, wherever that is.
class BuildCopy {
 public:
  BuildCopy() {
    for (const auto* name : {"upper", "work", "top"}) fs::create_directories(folder_.file(name));
    for (const auto& entry : fs::directory_iterator(source)) {
      const std::string name = entry.path().filename();
      if (name != "build") fs::create_symlink(entry.path(), folder_.file("top/" + name));
    }
    fs::create_directory_symlink(build, folder_.file("top/build"));
  }
  // `line` run by sh in the copy, from its top folder, as a user's shell runs it: without the
  // caller's own compiler cache settings (CI may switch the cache off).
  std::vector<std::string> command(const std::string& line) const {
    return {"unshare",
            "--mount",
            "sh",
            "-c",
            "mount -t overlay overlay -o \"lowerdir=$0,upperdir=$1/upper,workdir=$1/work\" \"$0\" "
            "&& cd \"$1/top\" && exec env -u CCACHE_DISABLE -u CCACHE_DIR sh -c \"$2\"",
            build,
            folder_.path(),
            line};
  }

 private:
  testsupport::TempDir folder_;
};

// A desktop entry as GLib's menu reads it, under `prefix` as if installed there (the DESTDIR's
// copy seen at the prefix), with a PATH that lacks the prefix's bin: the program it would start,
// or "refused".
std::string programOfEntry(const std::string& destination, const std::string& prefix) {
  const std::string line =
      "[ -d \"$1\" ] || { mount -t tmpfs tmpfs \"$(dirname \"$1\")\" && mkdir \"$1\"; } && "
      "mount --bind \"$0$1\" \"$1\" && exec env PATH=/usr/bin:/bin /usr/bin/python3 -c \"$2\" "
      "\"$1/share/applications/brindlet.desktop\"";
  const std::string python =
      "import sys, gi\n"
      "gi.require_version('Gio', '2.0')\n"
      "from gi.repository import Gio, GLib\n"
      "info = Gio.DesktopAppInfo.new_from_filename(sys.argv[1])\n"
      "print(GLib.shell_parse_argv(info.get_commandline())[1][0] if info else 'refused')";
  const auto result = testsupport::runProgram(
      {"unshare", "--mount", "sh", "-c", line, destination, prefix, python});
  return result.output.substr(0, result.output.find('\n'));
}

TEST_F(AppPeer, TheReadmesCommandsWorkAsPrintedOnATreeScriptsRunBuilt) {
  if (const auto why = testsupport::outsidePrivateNamespaces()) GTEST_SKIP() << *why;
  const auto began = std::chrono::steady_clock::now();
  const auto commands = readmeCommands();
  ASSERT_EQ(commands.size(), 3u) << "the README's block changed: update this test's steps";
  BuildCopy copy;
  // What the install takes that only the whole build made goes: the icons, and the program that
  // draws them down to its object; scripts/run builds them again.
  ASSERT_EQ(
      testsupport::runProgram(copy.command("rm -r build/icons build/src/app/qt/brindlet-icons "
                                           "build/src/app/qt/CMakeFiles/brindlet-icons.dir"))
          .status,
      0);

  // scripts/run builds and starts the app, with a compiler cache it makes itself; the app
  // reaches the tray and quits from its menu with status 0.
  ASSERT_EQ(commands[0], "scripts/run");
  auto& run = start(copy.command(commands[0]));
  EXPECT_TRUE(testsupport::eventually([] { return docked(); }, 180s, 200ms)) << run.output();
  EXPECT_TRUE(choose("Quit Brindlet")) << accessibles() << run.output();
  EXPECT_EQ(run.waitExit(10s), 0) << run.output();
  const fs::path cache = fs::path(home_->path()) / "cache/ccache";
  EXPECT_TRUE(fs::exists(cache) && !fs::is_empty(cache)) << run.output();

  // scripts/demo, to the end of its input.
  ASSERT_EQ(commands[1], "scripts/demo");
  auto& demo = start(copy.command(commands[1]));
  demo.closeInput();
  EXPECT_EQ(demo.waitExit(120s), 0) << demo.output();
  EXPECT_NE(demo.output().find("Connected to Demo Phone · USB"), std::string::npos)
      << demo.output();

  // The install, as printed and under a prefix of one's own; this test runs as root, and sudo
  // would keep DESTDIR from the install.
  ASSERT_TRUE(commands[2].starts_with("sudo cmake --install build")) << commands[2];
  const std::string install = commands[2].substr(5);
  struct Row {
    std::string arguments, prefix;
  };
  for (const Row& row :
       {Row{"", "/usr/local"}, Row{" --prefix '/opt/brindlet test'", "/opt/brindlet test"}}) {
    SCOPED_TRACE(row.prefix);
    testsupport::TempDir destination;
    const auto installed = testsupport::runProgram(
        copy.command("DESTDIR=" + destination.path() + " " + install + row.arguments + " 2>&1"));
    ASSERT_EQ(installed.status, 0) << installed.output;
    const std::string prefix = destination.path() + row.prefix;
    const auto valid =
        testsupport::runProgram({"sh", "-c", "exec desktop-file-validate \"$0\" 2>&1",
                                 prefix + "/share/applications/brindlet.desktop"});
    EXPECT_EQ(valid.status, 0) << valid.output;
    EXPECT_EQ(programOfEntry(destination.path(), row.prefix), row.prefix + "/bin/brindlet")
        << testsupport::readFile(prefix + "/share/applications/brindlet.desktop");
    const auto sections =
        testsupport::runProgram({"readelf", "--sections", "--wide", prefix + "/bin/brindlet"});
    ASSERT_EQ(sections.status, 0);
    EXPECT_EQ(sections.output.find(" .symtab "), std::string::npos) << "not stripped";
    EXPECT_EQ(sections.output.find(" .debug_"), std::string::npos) << "not stripped";
  }
  std::cout << "the README's commands took "
            << std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() -
                                                                began)
                   .count()
            << " s\n";
}

}  // namespace
}  // namespace brindlet::app::testing
