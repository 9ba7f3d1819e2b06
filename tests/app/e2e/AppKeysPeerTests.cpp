// The app's windows as the keyboard and the window manager reach them: Ctrl+Q quits from the
// welcome window, and a covered or minimised welcome window costs no more than a closed one. The
// deck's keys as the phone presses them: what a URL key opens outlives the app, what a shell key
// leaves in the background ends with it and costs it nothing, and an edited profile reaches the
// phone.

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "app/e2e/AppHarness.h"
#include "support/ChildProcess.h"
#include "support/Eventually.h"

namespace brindlet::app::testing {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

using testsupport::coresOver;

class AppKeysPeer : public AppPeer {
 public:
  using AppPeer::deckInFront;
  using AppPeer::press;
  static void SetUpTestSuite() {
    AppPeer::SetUpTestSuite();
    // Animations on, as most users have them: the welcome window's backdrop moves.
    std::ofstream(fs::path(home_->path()) / "config/glib-2.0/settings/keyfile")
        << "[org/gnome/desktop/interface]\nenable-animations=true\n";
  }

  // The number a program wrote into the file, once it is there (0 when it never came).
  static pid_t pidIn(const std::string& file) {
    pid_t pid = 0;
    testsupport::eventually(
        [&] {
          const auto text = testsupport::readFile(file);
          if (text.find('\n') != std::string::npos) pid = std::atoi(text.c_str());
          return pid > 0;
        },
        10s, 20ms);
    return pid;
  }
  // Presses a shell key of keysProfile; the pid of the program it put in the background.
  pid_t pressForProgram(const testsupport::TempDir& run, const std::string& key) {
    press(key);
    return pidIn(run.file(key + ".pid"));
  }
  // Whether the process runs the executable `path` (as this run's stand-ins do): a pid another
  // process took meanwhile is not it.
  static bool runs(pid_t pid, const std::string& path) {
    std::error_code error;
    return !testsupport::processGone(pid) &&
           fs::read_symlink("/proc/" + std::to_string(pid) + "/exe", error) == path;
  }
  // The process's arguments, each after a blank but the first.
  static std::string commandOf(pid_t pid) {
    std::string line = testsupport::readFile("/proc/" + std::to_string(pid) + "/cmdline");
    if (!line.empty()) line.pop_back();
    std::replace(line.begin(), line.end(), '\0', ' ');
    return line;
  }
  // Quits as the session's end does; the app's status.
  static std::optional<int> quit(ChildProcess& brindlet) {
    ::kill(brindlet.pid(), SIGTERM);
    return brindlet.waitExit(5s);
  }

  // The app on a first run: the welcome window open.
  ChildProcess& startWelcomed() {
    fs::remove(fs::path(home_->path()) / "config/brindlet/defaults.json");
    auto& brindlet = start({app});
    EXPECT_TRUE(testsupport::eventually([] { return welcomeShown(); }, 10s, 50ms))
        << brindlet.output();
    return brindlet;
  }
};

TEST_F(AppKeysPeer, CtrlQInTheWelcomeWindowQuits) {
  auto& brindlet = startWelcomed();
  ASSERT_TRUE(keyInWelcome("ctrl+q"));
  EXPECT_EQ(brindlet.waitExit(3s), 0) << brindlet.output();
}

TEST_F(AppKeysPeer, ACoveredOrMinimisedWelcomeWindowDrawsNothing) {
  auto& brindlet = startWelcomed();
  const std::string id = welcomeWindow();
  ASSERT_FALSE(id.empty());
  std::this_thread::sleep_for(1s);  // past the first page's arrival
  const double shown = coresOver(brindlet.pid(), 10s);

  // A terminal over the whole screen, the window manager's frame of it included.
  auto& cover = start({"xterm", "-title", "Cover", "-e", "sleep", "300"});
  const auto found = x_->run({"xdotool", "search", "--sync", "--onlyvisible", "--name", "^Cover$"});
  const std::string coverId = found.output.substr(0, found.output.find('\n'));
  ASSERT_FALSE(coverId.empty());
  std::istringstream screen(x_->run({"xdotool", "getdisplaygeometry"}).output);
  int width = 0, height = 0;
  screen >> width >> height;
  x_->run({"xdotool", "windowmove", "--sync", coverId, "0", "0"});
  x_->run({"xdotool", "windowsize", "--sync", coverId, std::to_string(width + 100),
           std::to_string(height + 100)});
  x_->run({"xdotool", "windowraise", coverId});
  std::this_thread::sleep_for(500ms);
  const double covered = coresOver(brindlet.pid(), 10s);
  cover.stop();

  x_->run({"xdotool", "windowminimize", "--sync", id});
  ASSERT_TRUE(testsupport::eventually([] { return !welcomeShown(); }, 3s, 50ms));
  std::this_thread::sleep_for(500ms);
  const double minimised = coresOver(brindlet.pid(), 10s);

  // Escape closes it as its close control does.
  ASSERT_TRUE(keyInWelcome("Escape"));
  ASSERT_TRUE(testsupport::eventually([] { return welcomeWindow().empty(); }, 3s, 50ms));
  std::this_thread::sleep_for(500ms);
  const double closed = coresOver(brindlet.pid(), 10s);
  std::printf(
      "the app's cores with the welcome window shown: %.4f, covered: %.4f, minimised: %.4f, "
      "closed: %.4f\n",
      shown, covered, minimised, closed);
  EXPECT_LE(covered, closed + 0.01);
  EXPECT_LE(minimised, closed + 0.01);
}

// A deck for terminals of the class "Keys": a URL key, a shell key that puts a long sleep in the
// background and one that puts `yes` there, each noting its program's pid in `run`.
std::string keysProfile(const testsupport::TempDir& run) {
  const auto shellKey = [&](const std::string& id, const std::string& command) {
    return R"(")" + id + R"(":{"label":")" + id + R"(","symbol":"s","action":{"kind":"shell",)" +
           R"("command":")" + command + " & echo $! > " + run.file(id + ".pid") + R"("}})";
  };
  return R"({"schema":1,"id":"com.test.Keys","name":"Keys","apps":["Keys"],)"
         R"("layouts":{"compact":["web"],"regular":["web","sleeper","chatty"]},"keys":{)"
         R"("web":{"label":"Web","symbol":"globe","action":{"kind":"url","url":"https://example.com/"}},)" +
         shellKey("sleeper", "sleep 300") + "," + shellKey("chatty", "yes") + "}}";
}

// A stand-in browser in `run`: a copy of sleep (so that its executable names this run) started
// by a script that notes its pid; and a stand-in xdg-open that starts it with `starting` (a
// line of the shell in which "$browser" and "$1" are set).
void standIns(const testsupport::TempDir& run, const std::string& starting) {
  fs::copy_file("/bin/sleep", run.file("browser-sleep"));
  run.write("browser", "#!/bin/sh\necho $$ > " + run.file("browser.pid") + "\nexec " +
                           run.file("browser-sleep") + " 300\n");
  run.write("xdg-open", "#!/bin/sh\nbrowser=" + run.file("browser") + "\n" + starting + "\n");
  for (const char* name : {"browser", "xdg-open"}) ::chmod(run.file(name).c_str(), 0755);
}

// Presses the URL key, its opener starting the stand-in browser with `starting`, and quits: the
// browser is still there, and the app's status is 0.
void expectTheBrowserToOutliveTheApp(AppKeysPeer& test, const std::string& starting) {
  testsupport::TempDir run;
  standIns(run, starting);
  auto& brindlet = test.deckInFront(run, keysProfile(run));
  test.press("web");
  const pid_t browser = AppKeysPeer::pidIn(run.file("browser.pid"));
  // The script notes its pid before it becomes the browser.
  ASSERT_TRUE(testsupport::eventually(
      [&] { return AppKeysPeer::runs(browser, run.file("browser-sleep")); }, 5s, 10ms))
      << brindlet.output();
  EXPECT_EQ(AppKeysPeer::quit(brindlet), 0) << brindlet.output();
  std::this_thread::sleep_for(500ms);
  EXPECT_TRUE(AppKeysPeer::runs(browser, run.file("browser-sleep")));
  ::kill(browser, SIGKILL);
}

// What a URL key opens is the desktop's: it outlives the app, whether the opener runs the browser
// in the foreground (as xdg-open does without a desktop) or starts it double-forked with the
// output it inherited (as a desktop's opener does).
TEST_F(AppKeysPeer, WhatAUrlKeyOpenedInTheForegroundOutlivesTheApp) {
  expectTheBrowserToOutliveTheApp(*this, "\"$browser\" \"$1\"\nexit $?");
}

TEST_F(AppKeysPeer, WhatAUrlKeyOpenedDoubleForkedOutlivesTheApp) {
  expectTheBrowserToOutliveTheApp(*this, "(\"$browser\" \"$1\" &)\nexit 0");
}

// What a shell key put in the background ends with the app.
TEST_F(AppKeysPeer, WhatAShellKeyPutInTheBackgroundEndsAtQuit) {
  testsupport::TempDir run;
  auto& brindlet = deckInFront(run, keysProfile(run));
  const pid_t sleeper = pressForProgram(run, "sleeper");
  ASSERT_EQ(commandOf(sleeper), "sleep 300") << brindlet.output();
  EXPECT_EQ(quit(brindlet), 0) << brindlet.output();
  EXPECT_TRUE(testsupport::processesGone({sleeper}));
}

// Hundreds of presses that each left a program in a group of its own, on a machine that runs a
// desktop's few hundred processes besides (each reading of /proc reads them all): the quit ends
// every program within its steps, without the watchdog.
TEST_F(AppKeysPeer, HundredsOfProgramsKeysPutInTheBackgroundEndWithinTheQuit) {
  testsupport::TempDir run;
  auto& brindlet = deckInFront(run, keysProfile(run));
  std::vector<pid_t> sleepers;
  for (int i = 0; i < 300; ++i) {
    fs::remove(run.file("sleeper.pid"));
    sleepers.push_back(pressForProgram(run, "sleeper"));
    ASSERT_GT(sleepers.back(), 0) << brindlet.output();
  }
  auto& desktop = start({"sh", "-c", "for i in $(seq 400); do sleep 300 & done; echo up; wait"});
  ASSERT_TRUE(desktop.waitFor("up", 10s));
  EXPECT_EQ(quit(brindlet), 0) << brindlet.output();
  EXPECT_EQ(count(brindlet.output(), "Quitting: watchdog"), 0) << brindlet.output();
  EXPECT_TRUE(testsupport::processesGone(sleepers));
}

// A key that leaves `yes` writing in the background: the program lives on (the figure of what it
// costs the app is the keys benchmark's), and it ends with the app.
TEST_F(AppKeysPeer, AChattyBackgroundProgramLivesOnAndEndsAtQuit) {
  testsupport::TempDir run;
  auto& brindlet = deckInFront(run, keysProfile(run));
  const pid_t yes = pressForProgram(run, "chatty");
  ASSERT_EQ(commandOf(yes), "yes") << brindlet.output();
  const auto end = std::chrono::steady_clock::now() + 10s;
  while (std::chrono::steady_clock::now() < end) profilesShown();  // the phone read meanwhile
  EXPECT_FALSE(testsupport::processGone(yes));
  EXPECT_EQ(quit(brindlet), 0) << brindlet.output();
  EXPECT_TRUE(testsupport::processesGone({yes}));
}

// A profile rewritten in place while its app is in front reaches the phone, and its key does what
// it now says.
TEST_F(AppKeysPeer, AnEditedProfileReachesThePhoneAndItsKeysDoWhatItSays) {
  testsupport::TempDir run;
  const auto profile = [&](const std::string& label, const std::string& word) {
    return R"({"schema":1,"id":"com.test.Keys","name":"Keys","apps":["Keys"],)"
           R"("layouts":{"compact":["date"],"regular":["date"]},"keys":{"date":{"label":")" +
           label + R"(","symbol":"clock","action":{"kind":"shell","command":"echo )" + word +
           " > " + run.file("said") + R"("}}}})";
  };
  auto& brindlet = deckInFront(run, profile("Late", "old"));
  // Whether the phone got a new deck profile carrying `label` (by `sentAt`), and the key then
  // says `word`.
  auto sentAt = std::chrono::steady_clock::now();
  const auto reaches = [&](int shown, const std::string& label, const std::string& word) {
    const bool sent = testsupport::eventually(
        [&] {
          return profilesShown() > shown &&
                 phone_->output().rfind("\"label\":\"" + label + "\"") != std::string::npos;
        },
        5s, 10ms);
    sentAt = std::chrono::steady_clock::now();
    press("date");
    return sent &&
           testsupport::eventually(
               [&] { return testsupport::readFile(run.file("said")) == word + "\n"; }, 5s, 20ms);
  };
  const auto file = data() / "Brindlet/Profiles/Keys.json";
  struct stat before {};
  ::stat(file.c_str(), &before);
  const auto written = std::chrono::steady_clock::now();
  int shown = profilesShown();
  ASSERT_EQ(testsupport::runProgram(
                {"sh", "-c", "printf '%s' \"$0\" > \"$1\"", profile("Later", "new"), file})
                .status,
            0);
  EXPECT_TRUE(reaches(shown, "Later", "new")) << phone_->output() << brindlet.output();
  std::printf("the phone had the edited profile %lld ms after the write\n",
              static_cast<long long>(
                  std::chrono::duration_cast<std::chrono::milliseconds>(sentAt - written).count()));
  struct stat after {};
  ::stat(file.c_str(), &after);
  EXPECT_EQ(after.st_ino, before.st_ino);

  // A new version moved over the file, as editors that save by renaming do.
  shown = profilesShown();
  run.write("Keys.json", profile("Latest", "newer"));
  ASSERT_EQ(testsupport::runProgram({"mv", run.file("Keys.json"), file}).status, 0);
  EXPECT_TRUE(reaches(shown, "Latest", "newer")) << phone_->output();
  EXPECT_EQ(quit(brindlet), 0);
}

}  // namespace
}  // namespace brindlet::app::testing
