// The app as a newcomer sets it up: installed with `cmake --install`, started by scripts/run in a
// home that cannot be written, logging to the journal when no terminal reads it, and keeping a
// settings file it cannot use aside.

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "app/e2e/AppHarness.h"
#include "support/Eventually.h"
#include "support/PrivateNamespaces.h"

namespace brindlet::app::testing {
namespace {

const std::string source = BRINDLET_SOURCE_DIR;

// A profile for the terminal class "InstallTerm", put among the installed ones.
const std::string installedProfile =
    R"({"schema":1,"id":"com.test.installed","name":"Installed","apps":["InstallTerm"],)"
    R"("layouts":{"compact":["date"],"regular":["date"]},)"
    R"("keys":{"date":{"label":"Date","symbol":"clock","action":{"kind":"shell","command":"date"}}}})";

TEST_F(AppPeer, TheInstalledAppFindsItsProfilesAndTheDesktopFindsIt) {
  testsupport::TempDir destination;
  const auto installed = testsupport::runProgram(
      {"sh", "-c", "DESTDIR=\"$0\" exec cmake --install \"$1\" --prefix /usr/local 2>&1",
       destination.path(), build});
  ASSERT_EQ(installed.status, 0) << installed.output;
  const fs::path prefix = fs::path(destination.path()) / "usr/local";
  const fs::path shared = prefix / "share";
  for (const auto* file :
       {"bin/brindlet", "share/brindlet/Profiles/meeting.json",
        "share/applications/brindlet.desktop", "share/icons/hicolor/scalable/apps/brindlet.svg",
        "share/icons/hicolor/16x16/apps/brindlet.png",
        "share/icons/hicolor/64x64/apps/brindlet.png"}) {
    EXPECT_TRUE(fs::exists(prefix / file)) << file << "\n" << installed.output;
  }
  const auto valid = testsupport::runProgram({"sh", "-c", "exec desktop-file-validate \"$0\" 2>&1",
                                              (shared / "applications/brindlet.desktop").string()});
  EXPECT_EQ(valid.status, 0) << valid.output;
  // GTK's icon theme finds the icon by the entry's name, from the installed data folder.
  const auto icon =
      x_->run({"env", "XDG_DATA_DIRS=" + shared.string() + ":/usr/share", "/usr/bin/python3", "-c",
               "import gi; gi.require_version('Gtk', '3.0'); from gi.repository import Gtk\n"
               "for size in (16, 48, 256):\n"
               "  found = Gtk.IconTheme.get_default().lookup_icon('brindlet', size, 0)\n"
               "  print(found.get_filename() if found else 'none')"});
  ASSERT_EQ(icon.status, 0) << icon.output;
  EXPECT_EQ(icon.output, shared.string() + "/icons/hicolor/16x16/apps/brindlet.png\n" +
                             shared.string() + "/icons/hicolor/48x48/apps/brindlet.png\n" +
                             shared.string() + "/icons/hicolor/scalable/apps/brindlet.svg\n");

  // The installed binary reads the profiles installed beside it: one put there reaches the phone
  // when its terminal is in front.
  std::ofstream(shared / "brindlet/Profiles/installed.json") << installedProfile;
  testsupport::TempDir run;
  auto [phone, socket] = usbPhone(run);
  auto& brindlet = start({(prefix / "bin/brindlet").string()},
                         {"USBMUXD_SOCKET_ADDRESS=UNIX:" + socket,
                          "XDG_DATA_DIRS=" + shared.string() + ":/usr/share"});
  ASSERT_TRUE(phone->waitFor("connected(", 15s)) << brindlet.output();
  start({"xterm", "-class", "InstallTerm", "-e", "sleep", "300"});
  EXPECT_TRUE(testsupport::eventually(
      [&] {
        x_->run({"wmctrl", "-x", "-a", "InstallTerm"});
        return phone->waitFor("\"id\":\"com.test.installed\"", 200ms);
      },
      15s, 100ms))
      << phone->output() << brindlet.output();
  kill(brindlet.pid(), SIGTERM);
  EXPECT_EQ(brindlet.waitExit(5s), 0) << brindlet.output();
}

// The files under `folder` with their sizes, modes and contents, one line each.
std::string snapshot(const fs::path& folder) {
  return testsupport::runProgram({"sh", "-c",
                                  "cd \"$0\" && find . -printf '%p %s %m %y\\n' | sort && "
                                  "find . -type f -print0 | sort -z | xargs -0r sha256sum",
                                  folder.string()})
      .output;
}

TEST_F(AppPeer, RunStartsTheAppFromABuiltTreeWithAReadOnlyHomeAndNoNpm) {
  if (const auto why = testsupport::outsidePrivateNamespaces()) GTEST_SKIP() << *why;
  testsupport::TempDir home, folders, tools;
  home.write(".profile", "# the user's own\n");
  // An npm that tells when it runs: the app needs none of the tests' peers.
  tools.write("npm", "#!/bin/sh\ntouch \"$(dirname \"$0\")/npm-ran\"\nexit 1\n");
  fs::permissions(tools.file("npm"), fs::perms::owner_all);
  const auto before = snapshot(home.path());
  const std::string line = "mount --bind -o ro \"$HOME\" \"$HOME\" && exec \"$0\"";
  auto& script = start(
      {"unshare", "--mount", "env", "HOME=" + home.path(),
       "PATH=" + tools.path() + ":/usr/local/bin:/usr/bin:/bin", "BRINDLET_BUILD_DIR=" + build,
       "XDG_CONFIG_HOME=" + folders.path() + "/config", "XDG_DATA_HOME=" + folders.path() + "/data",
       "XDG_CACHE_HOME=" + folders.path() + "/cache", "XDG_RUNTIME_DIR=" + folders.path(), "sh",
       "-c", line, source + "/scripts/run", "--log-both"});
  EXPECT_TRUE(script.waitFor("Hook server on 127.0.0.1:", 30s)) << script.output();
  kill(script.pid(), SIGTERM);
  EXPECT_EQ(script.waitExit(5s), 0) << script.output();
  EXPECT_FALSE(fs::exists(tools.file("npm-ran")));
  EXPECT_EQ(snapshot(home.path()), before);
}

// A datagram socket where the journal listens; what arrives, entry by entry.
class JournalStandIn {
 public:
  explicit JournalStandIn(const std::string& path) : socket_(::socket(AF_UNIX, SOCK_DGRAM, 0)) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    path.copy(address.sun_path, sizeof address.sun_path - 1);
    bound_ = ::bind(socket_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    timeval wait{0, 100'000};
    ::setsockopt(socket_, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
  }
  ~JournalStandIn() { ::close(socket_); }
  bool bound() const { return bound_; }
  // Reads what has come; true once an entry holds every one of `fields`.
  bool received(const std::vector<std::string>& fields) {
    char datagram[65536];
    for (ssize_t n; (n = ::recv(socket_, datagram, sizeof datagram, 0)) > 0;)
      entries_.emplace_back(datagram, static_cast<std::size_t>(n));
    for (const auto& entry : entries_) {
      bool all = true;
      for (const auto& field : fields) all = all && entry.find("\n" + field) != std::string::npos;
      if (all) return true;
    }
    return false;
  }
  std::string all() const {
    std::string text;
    for (const auto& entry : entries_) text += entry + "--\n";
    return text;
  }

 private:
  int socket_;
  bool bound_ = false;
  std::vector<std::string> entries_;
};

TEST_F(AppPeer, WithoutATerminalTheLogGoesToTheJournalByCategory) {
  if (const auto why = testsupport::outsidePrivateNamespaces()) GTEST_SKIP() << *why;
  testsupport::TempDir journal;
  JournalStandIn listener(journal.file("socket"));
  ASSERT_TRUE(listener.bound());
  // The app in a mount namespace of its own, where the stand-in is the journal's socket.
  const std::string line =
      "mount -t tmpfs tmpfs /run/systemd && mkdir /run/systemd/journal && "
      "mount --bind \"$1\" /run/systemd/journal && exec \"$0\"";
  auto& brindlet = start({"unshare", "--mount", "sh", "-c", line, app, journal.path()});
  const std::vector<std::string> started{"SYSLOG_IDENTIFIER=brindlet", "CATEGORY=agents",
                                         "SUBSYSTEM=com.velvane.mac"};
  EXPECT_TRUE(testsupport::eventually(
      [&] {
        return listener.received(started) &&
               listener.all().find("MESSAGE=Hook server on 127.0.0.1:") != std::string::npos;
      },
      15s, 100ms))
      << listener.all() << brindlet.output();
  // Standard error, read by nobody at login, no longer holds the log.
  EXPECT_EQ(brindlet.output().find("com.velvane.mac[agents]"), std::string::npos)
      << brindlet.output();
  kill(brindlet.pid(), SIGTERM);
  EXPECT_EQ(brindlet.waitExit(5s), 0);
}

// A settings file with a number too large for a double: the start says in one line that it can't
// be read; the next change, the welcome's first step, keeps it aside and is saved.
TEST_F(AppPeer, SettingsWithANumberTooLargeAreKeptAsideAndTheNextChangeSaved) {
  const auto folder = fs::path(home_->path()) / "config/brindlet";
  const auto defaults = folder / "defaults.json";
  fs::create_directories(folder);
  const std::string stored = R"({"dockEdge":"left","weird":1e400})";
  std::ofstream(defaults) << stored;
  auto kept = [&] {
    std::vector<fs::path> copies;
    for (const auto& entry : fs::directory_iterator(folder))
      if (entry.path().filename().string().starts_with("defaults.json.unreadable-"))
        copies.push_back(entry.path());
    return copies;
  };
  auto& brindlet = start({app});
  ASSERT_TRUE(testsupport::eventually([] { return welcomeShown(); }, 10s, 50ms))
      << brindlet.output();
  EXPECT_TRUE(brindlet.waitFor("error: Can't read " + defaults.string(), 5s)) << brindlet.output();
  EXPECT_TRUE(kept().empty());

  EXPECT_TRUE(pressReturn());
  EXPECT_TRUE(testsupport::eventually(
      [&] {
        return testsupport::readFile(defaults.string()).find("\"onboardingStep\"") !=
               std::string::npos;
      },
      5s, 50ms))
      << testsupport::readFile(defaults.string()) << brindlet.output();
  const auto copies = kept();
  ASSERT_EQ(copies.size(), 1u) << brindlet.output();
  EXPECT_EQ(testsupport::readFile(copies[0].string()), stored);
  EXPECT_EQ(count(brindlet.output(), "Couldn't save"), 0) << brindlet.output();
  kill(brindlet.pid(), SIGTERM);
  EXPECT_EQ(brindlet.waitExit(5s), 0);
  EXPECT_EQ(count(brindlet.output(), "error: Can't read " + defaults.string()), 1)
      << brindlet.output();
  for (const auto& copy : copies) fs::remove(copy);
  fs::remove(defaults);
}

}  // namespace
}  // namespace brindlet::app::testing
