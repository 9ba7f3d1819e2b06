#pragma once

// The real app as a user runs it, for the benchmarks that measure it beside the bare Qt tray app:
// a desktop session of its own, the app started in it with the scripted phone behind the stand-in
// usbmuxd, and the load a working day puts on it (a deck over live readers, agent cards, a moving
// picture on the phone's display).

#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "support/ChildProcess.h"
#include "support/TempDir.h"
#include "support/UsbPhone.h"
#include "support/XServer.h"

namespace brindlet::bench {

// The folders of a private home (data, config, cache, run) made in `home`, with defaults.json
// saying the setup is complete when `setupComplete`; "env" and the variables that point a
// program at them, for the front of its command line.
std::vector<std::string> privateHome(const testsupport::TempDir& home, bool setupComplete);

// A process's memory as /proc/<pid>/smaps_rollup gives it, in bytes. Its proportional share
// (PSS) moves whenever any other process on the machine maps or lets go of the same library
// pages; the share of its anonymous pages (the heaps and stacks) does not.
struct Memory {
  double rss = 0;
  double pss = 0;
  double pssAnon = 0;
};
Memory memoryOf(pid_t pid);

// How often each of the process's threads went to sleep and woke again so far (its voluntary
// context switches), by thread id.
using WakeUps = std::map<pid_t, long>;
WakeUps wakeUpsOf(pid_t pid);
// The wake-ups since `before` of the threads alive now: a thread that ended meanwhile takes its
// count along, and one started meanwhile counts from nothing.
long wakeUpsSince(const WakeUps& before, pid_t pid);

// A session of its own: Xorg with the dummy driver (whose outputs the phone's display takes),
// openbox and trayer; a session bus with an unlocked keyring and the accessibility bus switched on;
// a private home whose setup is complete (so the app starts without its welcome window), holding a
// deck profile for the window class "BenchDeck" whose four keys read two log files, a process and
// an accessibility value; and the bare Qt tray app docked in the tray. A program given
// GSETTINGS_BACKEND=keyfile reads the home's settings file, which turns animations off. One per
// process: it points this process's bus and home at its own.
class AppSession {
 public:
  AppSession();
  ~AppSession();
  AppSession(const AppSession&) = delete;
  AppSession& operator=(const AppSession&) = delete;

  const testsupport::XServer& x() const { return *x_; }
  pid_t barePid() const { return bare_->pid(); }
  std::pair<int, int> bareIcon() const { return bareIcon_; }
  const testsupport::TempDir& home() const { return home_; }

  // Where the icon of the window class stands once docked; throws after 20 s.
  std::pair<int, int> dockedIcon(const std::string& windowClass) const;
  // Appends a line to each of the deck's log files, as a build's output grows.
  void growLogs();
  // A terminal of the deck profile's class, made the active window so that the deck shows it.
  std::unique_ptr<testsupport::ChildProcess> deckTerminal() const;
  // The client window whose title is `title`, once it is visible; throws after 5 s.
  unsigned long windowNamed(const std::string& title) const;

 private:
  testsupport::TempDir home_;
  std::unique_ptr<testsupport::XServer> x_;
  std::unique_ptr<testsupport::ChildProcess> bus_, trayer_, bare_;
  std::pair<int, int> bareIcon_;
  int grown_ = 0;
};

// The app started in the session with the phone behind the stand-in usbmuxd, once its icon docked
// and the phone linked; ended with SIGTERM, as at logout.
class RunningApp {
 public:
  // `environment`: more variables for the app, as env takes them.
  explicit RunningApp(AppSession& session, const std::vector<std::string>& environment = {});
  ~RunningApp();
  RunningApp(const RunningApp&) = delete;
  RunningApp& operator=(const RunningApp&) = delete;

  pid_t pid() const { return app_->pid(); }
  std::pair<int, int> icon() const { return icon_; }
  testsupport::ChildProcess& phone() { return *usb_.phone; }
  // Lines the phone printed so far that hold `text`.
  int phoneSaid(const std::string& text) const;
  // The phone's command, then its "ok"; throws when it fails.
  void tell(const std::string& command);
  // Reads what the phone prints (its output pipe never fills) and grows the deck's logs every
  // tick, for `span`.
  void idle(std::chrono::milliseconds span);
  // The phone's pane at 393 x 852 points, scale 3: the display at 1178 x 2556 and its stream,
  // until the first video frame; the monitor it is shown on.
  testsupport::Monitor showDisplay();

 private:
  AppSession& session_;
  testsupport::TempDir run_;
  testsupport::UsbPhone usb_;
  std::unique_ptr<testsupport::ChildProcess> app_;
  std::pair<int, int> icon_;
};

// A scrolling terminal's picture drawn over a monitor at 60 fps, from a connection and thread of
// its own: every frame moves every line up.
class ScrollingPicture {
 public:
  ScrollingPicture(const std::string& display, const testsupport::Monitor& monitor);
  ~ScrollingPicture();
  ScrollingPicture(const ScrollingPicture&) = delete;
  ScrollingPicture& operator=(const ScrollingPicture&) = delete;
  int drawn() const { return drawn_; }

 private:
  void run(const std::string& display, testsupport::Monitor monitor);

  std::atomic<bool> running_{true};
  std::atomic<int> drawn_{0};
  std::thread thread_;
};

// Small fills scattered at random over a monitor's part of the root window, `rate` a second,
// from a connection and thread of their own, as a chart, a game or a terminal with scattered
// updates draws. `onTop`: into an override-redirect window of their own over the whole monitor,
// above every other window, instead.
class ScatteredFills {
 public:
  ScatteredFills(const std::string& display, const testsupport::Monitor& monitor, int rate,
                 bool onTop = false);
  ~ScatteredFills();
  ScatteredFills(const ScatteredFills&) = delete;
  ScatteredFills& operator=(const ScatteredFills&) = delete;
  int drawn() const { return drawn_; }

 private:
  void run(const std::string& display, testsupport::Monitor monitor, int rate, bool onTop);

  std::atomic<bool> running_{true};
  std::atomic<int> drawn_{0};
  std::thread thread_;
};

// Coding-agent sessions posting hook events to the app's hook server, as the agent hook does
// (port from server.json, token from server.headers): each of `sessions` cards changes once a
// second, the posts spread evenly over the second. Runs on a thread of its own.
class AgentSessions {
 public:
  AgentSessions(const AppSession& session, int sessions);
  ~AgentSessions();
  AgentSessions(const AgentSessions&) = delete;
  AgentSessions& operator=(const AgentSessions&) = delete;
  // The posts the server answered, and those it did not.
  int answered() const { return answered_; }
  int failed() const { return failed_; }

 private:
  void run(std::uint16_t port, std::string token, std::string folder, int sessions);

  std::atomic<bool> running_{true};
  std::atomic<int> answered_{0}, failed_{0};
  std::thread thread_;
};

}  // namespace brindlet::bench
