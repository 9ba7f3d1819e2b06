// The autostart entry in a temporary config folder: what register, status and unregister do,
// which entries read as on, and a folder that cannot be written.

#include "app/linux/xdg/XdgAutostartItem.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include <gtest/gtest.h>

#include "app/core/Onboarding.h"
#include "app/core/ShellDoubles.h"
#include "app/linux/xdg/ExecRows.h"
#include "runtime/Log.h"
#include "runtime/ManualClock.h"
#include "runtime/MemoryDefaults.h"
#include "support/Environment.h"
#include "support/Loop.h"
#include "support/TempDir.h"

namespace brindlet::platform {
namespace {

namespace fs = std::filesystem;
using testsupport::readFile;

// An executable file at `path`.
void placeProgram(const fs::path& path) {
  fs::create_directories(path.parent_path());
  std::ofstream(path) << "#!/bin/sh\n";
  fs::permissions(path, fs::perms::owner_all);
}

struct Autostart {
  testsupport::TempDir config;
  boost::asio::io_context io;
  fs::path entry = fs::path(config.path()) / "autostart" / "brindlet.desktop";
  std::string binary = config.path() + "/opt/brindlet/bin/brindlet";
  XdgAutostartItem item{entry, binary};

  Autostart() { placeProgram(binary); }

  bool enabled() { return testing::runUntilDone(io, item.isEnabled()); }
  void set(bool on) { testing::runUntilDone(io, item.setEnabled(on)); }
};

TEST(XdgAutostart, RegisterStatusUnregister) {
  Autostart a;
  const struct {
    const char* step;
    std::optional<bool> set;
    bool enabled;
    bool present;
  } steps[] = {
      {"absent", std::nullopt, false, false}, {"unregister when absent", false, false, false},
      {"register", true, true, true},         {"register again", true, true, true},
      {"unregister", false, false, false},
  };
  for (const auto& s : steps) {
    SCOPED_TRACE(s.step);
    if (s.set) a.set(*s.set);
    EXPECT_EQ(a.enabled(), s.enabled);
    EXPECT_EQ(fs::exists(a.entry), s.present);
  }
  a.set(true);
  EXPECT_EQ(readFile(a.entry), "[Desktop Entry]\nType=Application\nName=Brindlet\nExec=\"" +
                                   a.binary + "\"\nX-GNOME-Autostart-enabled=true\n");
  EXPECT_EQ(fs::status(a.entry).permissions() & fs::perms::all,
            fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read |
                fs::perms::others_read);
}

TEST(XdgAutostart, OnlyAnEntryThatStartsThisBinaryCounts) {
  testsupport::TempDir dir;
  const std::string binary = dir.path() + "/opt/brindlet/bin/brindlet";
  placeProgram(binary);
  const std::string good = autostartEntry(binary);
  const struct {
    const char* name;
    std::string text;  // "@" standing for the folder
    bool on;
  } cases[] = {
      {"as written", good, true},
      {"hidden", good + "Hidden=true\n", false},
      {"switched off",
       "[Desktop Entry]\nExec=@/opt/brindlet/bin/brindlet\n"
       "X-GNOME-Autostart-enabled=false\n",
       false},
      {"another binary", autostartEntry("/home/u/old-build/brindlet"), false},
      {"plain Exec with arguments",
       "[Desktop Entry]\nType=Application\nExec=@/opt/brindlet/bin/brindlet --quiet\n", true},
      {"Exec in another group", "[Desktop Action x]\nExec=@/opt/brindlet/bin/brindlet\n", false},
      {"an unterminated quote", "[Desktop Entry]\nExec=\"@/opt/brindlet/bin/brindlet\n", false},
      {"no Exec", "[Desktop Entry]\nType=Application\n", false},
      {"a doubled %",
       "[Desktop Entry]\nType=Application\nExec=env @/opt/brindlet/bin/brindlet --at=50%%\n", true},
      {"a bare % in the path", "[Desktop Entry]\nExec=@/opt/brindlet/bin/brind%let\n", false},
      // GLib keeps a "%" that ends the value, and launches with no files for a field code.
      {"a bare % at the end",
       "[Desktop Entry]\nType=Application\nExec=@/opt/brindlet/bin/brindlet %\n", true},
      {"a field code", "[Desktop Entry]\nType=Application\nExec=@/opt/brindlet/bin/brindlet %U\n",
       true},
      {"a field code in quotes", "[Desktop Entry]\nExec=\"@/opt/brindlet/bin/brindlet%f\"\n",
       false},
  };
  const testsupport::Variables environment{{"PATH", "/usr/bin:/bin"},
                                           {"XDG_CURRENT_DESKTOP", std::nullopt}};
  for (const auto& c : cases) {
    const bool on = testsupport::withEnvironment(
        environment, [&] { return startsAtLogin(placed(c.text, dir.path()), binary); });
    EXPECT_EQ(on, c.on) << c.name;
  }
}

// The rows' expectations are GLib's, which the peer test checks on the same rows, each read with
// its own PATH and desktop.
TEST(XdgAutostart, ExecIsSplitAsTheDesktopSplitsIt) {
  testsupport::TempDir dir;
  placePrograms(dir.path(), "");
  for (const auto& row : execRows) {
    const bool starts = testsupport::withEnvironment(environmentOf(row, dir.path()), [&] {
      return startsAtLogin(entryWith(row, dir.path()), dir.path() + row.program);
    });
    EXPECT_EQ(starts, row.starts) << row.name;
  }
}

TEST(XdgAutostart, OddPathsSurviveTheQuoting) {
  testsupport::TempDir dir;
  for (const std::string name :
       {"/a b/c", "/q\"uote/x", "/d$HOME/x", "/p%u/x", "/b\\s/x", "/t`ick/x", "/n\nl/x"}) {
    const std::string path = dir.path() + name;
    placeProgram(path);
    EXPECT_TRUE(startsAtLogin(autostartEntry(path), path)) << path;
  }
  EXPECT_EQ(execArgument("/a b/$x%u\\"), "\"/a b/\\\\$x%%u\\\\\\\\\"");
}

TEST(XdgAutostart, DefaultEntryLivesInTheConfigFolder) {
  testsupport::TempDir config;
  const char* old = std::getenv("XDG_CONFIG_HOME");
  const std::string saved = old ? old : "";
  setenv("XDG_CONFIG_HOME", config.path().c_str(), 1);
  XdgAutostartItem item;
  EXPECT_EQ(item.entry(), fs::path(config.path()) / "autostart" / "brindlet.desktop");
  if (old) {
    setenv("XDG_CONFIG_HOME", saved.c_str(), 1);
  } else {
    unsetenv("XDG_CONFIG_HOME");
  }
}

// The first-run model over the item, its other roles doubles.
std::shared_ptr<app::Onboarding> onboarding(boost::asio::io_context& io,
                                            std::shared_ptr<runtime::MemoryDefaults> defaults,
                                            std::shared_ptr<XdgAutostartItem> item) {
  auto clock = std::make_shared<runtime::ManualClock>();
  return testing::runUntilDone(
      io, app::Onboarding::create({std::make_shared<app::FakeChecker>(clock), std::move(defaults),
                                   std::make_shared<app::RecordingGuide>(),
                                   std::make_shared<app::RecordingActivator>(),
                                   std::make_shared<app::RecordingOpener>(), item, clock}));
}

// Setup run again after it was completed ("Set Up Brindlet..." then "Done"): an entry stays as the
// user wrote it unless the user moves the switch.
TEST(XdgAutostart, DoneChangesTheEntryOnlyWhenTheSwitchMoved) {
  const struct {
    const char* name;
    const char* exec;
    const char* path;  // PATH, "@" standing for the folder
    const char* more;  // further lines
    std::optional<bool> turned;
    bool reads;    // what the switch reads before
    bool present;  // after Done
    bool ours;     // after Done, the entry this app writes
  } cases[] = {
      {"the program on the path", "brindlet", onPath, "", std::nullopt, true, true, false},
      {"the program not on the path", "brindlet", "/usr/bin:/bin", "", std::nullopt, false, true,
       false},
      {"shown on another desktop only", "\"@/My Apps/brindlet\"", "/usr/bin", "OnlyShowIn=KDE;\n",
       std::nullopt, false, true, false},
      {"turned off", "brindlet", onPath, "", false, true, false, false},
      {"turned on", "brindlet", "/usr/bin:/bin", "", true, false, true, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    testsupport::TempDir dir;
    const std::string program = dir.path() + "/My Apps/brindlet";
    placeProgram(program);
    const fs::path entry = fs::path(dir.path()) / "autostart" / "brindlet.desktop";
    fs::create_directories(entry.parent_path());
    const std::string text =
        placed("[Desktop Entry]\nType=Application\nExec=" + std::string(c.exec) + "\n" + c.more,
               dir.path());
    dir.write("autostart/brindlet.desktop", text);
    const testsupport::Variables environment{{"PATH", placed(c.path, dir.path())},
                                             {"XDG_CURRENT_DESKTOP", "GNOME"}};
    testsupport::withEnvironment(environment, [&] {
      boost::asio::io_context io;
      auto defaults = std::make_shared<runtime::MemoryDefaults>(
          runtime::DefaultsValues{{app::Onboarding::completeKey, true}});
      auto model = onboarding(io, defaults, std::make_shared<XdgAutostartItem>(entry, program));
      EXPECT_EQ(model->wantsLaunchAtLogin.get(), c.reads);
      model->restart();
      if (c.turned) model->wantsLaunchAtLogin.set(*c.turned);
      testing::runUntilDone(io, model->finish());
      EXPECT_EQ(fs::exists(entry), c.present);
      if (c.present) {
        EXPECT_EQ(readFile(entry), c.ours ? autostartEntry(program) : text);
      }
      return 0;
    });
  }
}

TEST(XdgAutostart, AnUnwritableFolderIsLoggedAndSetupStillCompletes) {
  // The folder's place is taken by a file, which no user can write into.
  testsupport::TempDir config;
  config.write("autostart", "");
  boost::asio::io_context io;
  auto defaults = std::make_shared<runtime::MemoryDefaults>();
  auto item = std::make_shared<XdgAutostartItem>(
      fs::path(config.path()) / "autostart" / "brindlet.desktop", "/opt/brindlet/bin/brindlet");
  runtime::LogCapture log;
  auto model = onboarding(io, defaults, item);
  testing::runUntilDone(io, model->finish());
  EXPECT_EQ(log.messages("onboarding", runtime::LogLevel::error),
            std::vector<std::string>{"Launch at login: Not a directory: " + config.path() +
                                     "/autostart"});
  EXPECT_EQ(defaults->boolean(app::Onboarding::completeKey), true);
}

}  // namespace
}  // namespace brindlet::platform
