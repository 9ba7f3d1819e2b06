// The action runner against the real Z shell, the desktop's opener and loginctl; keys go to a
// recording poster and the workspace is scripted.

#include <signal.h>

#include <chrono>
#include <clocale>
#include <cstdlib>
#include <fstream>
#include <iterator>

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>

#include "ScriptedWorkspace.h"
#include "deck/ActionError.h"
#include "deck/ActionRunner.h"
#include "desktop/RecordingPoster.h"
#include "runtime/Log.h"
#include "runtime/Task.h"
#include "support/Eventually.h"
#include "support/Loop.h"
#include "support/TempDir.h"

namespace brindlet::deck {
namespace {

namespace asio = boost::asio;
using namespace std::chrono_literals;
using desktop::KeyEvent;
using desktop::MediaKey;
using desktop::MediaKeyEvent;
using desktop::Modifier;
using desktop::SyntheticEvent;
using profiles::Action;
using SteadyClock = std::chrono::steady_clock;

Action ofKind(Action::Kind kind, std::optional<std::string> url = std::nullopt) {
  Action action;
  action.kind = kind;
  action.url = std::move(url);
  return action;
}

Action shell(std::string command, std::optional<double> timeout = std::nullopt) {
  Action action = ofKind(Action::Kind::shell);
  action.command = std::move(command);
  action.timeoutSeconds = timeout;
  return action;
}

std::string readFile(const std::string& path) {
  std::ifstream in(path);
  return {std::istreambuf_iterator<char>(in), {}};
}

class ActionRunnerTest : public ::testing::Test {
 protected:
  // The action's error description, "" on success.
  std::string outcome(Action action, std::optional<double> value = std::nullopt,
                      std::optional<FrontApp> app = std::nullopt) {
    try {
      brindlet::testing::runUntilDone(io,
                                      runner.run(std::move(action), "p/k", value, std::move(app)));
      return "";
    } catch (const ActionError& error) {
      return error.description();
    }
  }
  std::string shellOutput(std::string command, runtime::Duration timeout = 5s) {
    return brindlet::testing::runUntilDone(io, runner.runShell(std::move(command), timeout));
  }

  // Group ends still under way look at /proc on the blocking worker: their answers come back
  // before the loop goes.
  void TearDown() override { brindlet::testing::drain(io); }

  asio::io_context io;
  testing::ScriptedWorkspace workspace;
  desktop::RecordingPoster poster;
  ActionRunner runner{io.get_executor(), workspace, poster};
};

TEST_F(ActionRunnerTest, OutcomesOfEachKind) {
  using Op = Action::SystemOp;
  const auto media = [](MediaKey key) {
    return std::vector<SyntheticEvent>{MediaKeyEvent{key, true}, MediaKeyEvent{key, false}};
  };
  const struct {
    const char* name;
    Action action;
    std::string description;
    std::vector<SyntheticEvent> posted;
  } rows[] = {
      // clang-format off
      {"no keys", ofKind(Action::Kind::shortcut), "Bad shortcut", {}},
      {"keys that do not parse", Action::shortcut("ctrl+nokey"), "Bad shortcut", {}},
      {"AppleScript", ofKind(Action::Kind::applescript), "AppleScript isn't available on Linux", {}},
      {"Shortcuts app", ofKind(Action::Kind::shortcutsApp), "Shortcuts aren't available on Linux", {}},
      {"do not disturb", Action::system(Op::doNotDisturb), "Shortcuts aren't available on Linux", {}},
      {"no op", ofKind(Action::Kind::system), "No op", {}},
      {"no URL", ofKind(Action::Kind::url), "Bad URL", {}},
      {"URL without scheme", ofKind(Action::Kind::url, "example.com/x"), "Bad URL", {}},
      {"URL with a blank", ofKind(Action::Kind::url, "https://example.com/a b"), "Bad URL", {}},
      {"silent failure", shell("exit 1"), "Exit 1", {}},
      {"failure with a message", shell("print -u2 '  oops'; exit 2"), "oops", {}},
      {"undecodable message", shell("print -n '\\xff'; exit 3"), "Exit 3", {}},
      {"success with output", shell("print -u2 warning; print done"), "", {}},
      {"200 KiB of output", shell("head -c 204800 /dev/zero | tr '\\0' x"), "", {}},
      {"command not found", shell("no-such-command-here"), "zsh:1: command not found: no-such-command-here", {}},
      {"volume up", Action::system(Op::volumeUp), "", media(MediaKey::volumeUp)},
      {"volume down", Action::system(Op::volumeDown), "", media(MediaKey::volumeDown)},
      {"mute", Action::system(Op::mute), "", media(MediaKey::mute)},
      {"play", Action::system(Op::playPause), "", media(MediaKey::playPause)},
      {"next", Action::system(Op::next), "", media(MediaKey::next)},
      {"previous", Action::system(Op::previous), "", media(MediaKey::previous)},
      // clang-format on
  };
  for (auto& row : rows) {
    poster.posted.clear();
    EXPECT_EQ(outcome(row.action), row.description) << row.name;
    EXPECT_EQ(poster.posted, row.posted) << row.name;
  }
  poster.trusted = false;
  EXPECT_EQ(outcome(Action::system(Op::mute)), "Can't post the media key");
}

TEST_F(ActionRunnerTest, KeysGoToTheAppBroughtToTheFront) {
  const FrontApp editor{"Editor", "The Editor", 10};
  const FrontApp other{"Other", "Other App", 11};
  const std::vector<SyntheticEvent> ctrlShiftA{
      KeyEvent{0, true, Modifier::ctrl | Modifier::shift},
      KeyEvent{0, false, Modifier::ctrl | Modifier::shift}};
  workspace.front = editor;
  workspace.activatable = std::vector<std::string>{"Other"};

  EXPECT_EQ(outcome(Action::shortcut("ctrl+shift+a"), std::nullopt, editor), "");
  EXPECT_EQ(poster.posted, ctrlShiftA);
  EXPECT_TRUE(workspace.activations.empty());

  EXPECT_EQ(outcome(Action::shortcut("cmd+q"), std::nullopt, FrontApp{"Gone", "Gone App", 12}),
            "Gone App isn't running");
  EXPECT_EQ(poster.posted.size(), 2u);

  poster.posted.clear();
  Action jog = ofKind(Action::Kind::shortcut);
  jog.positive = "right";
  brindlet::testing::runUntilDone(io, runner.jog(jog, true, other));
  EXPECT_EQ(workspace.activations, std::vector<std::string>({"Gone", "Other"}));
  EXPECT_EQ(poster.posted,
            (std::vector<SyntheticEvent>{KeyEvent{124, true, {}}, KeyEvent{124, false, {}}}));
  try {
    brindlet::testing::runUntilDone(io, runner.jog(jog, false, other));
    ADD_FAILURE() << "a missing negative step ran";
  } catch (const ActionError& error) {
    EXPECT_EQ(error.description(), "Bad jog shortcut");
  }
}

TEST_F(ActionRunnerTest, BackgroundChildrenDoNotHoldTheAction) {
  const auto start = SteadyClock::now();
  const std::string output = shellOutput("sleep 30 & print $!");
  EXPECT_LT(SteadyClock::now() - start, 2s);
  const pid_t sleeper = std::atoi(output.c_str());
  ASSERT_GT(sleeper, 0) << output;
  ::kill(sleeper, SIGKILL);
}

// A key that starts a program in the background (`firefox &`): the program writes after the
// key's result and must not die of a broken pipe; it ends with the runner's groups.
TEST_F(ActionRunnerTest, AProgramStartedInTheBackgroundLivesOnUntilTheRunnerGoes) {
  testsupport::TempDir dir;
  std::optional<ActionRunner> own(std::in_place, io.get_executor(), workspace, poster);
  const auto pidFile = dir.file("pid");
  const auto start = SteadyClock::now();
  brindlet::testing::runUntilDone(
      io, own->run(shell("sh -c 'echo $$ > " + pidFile + "; sleep 0.2; echo late >&2; sleep 5' &"),
                   "p/k", std::nullopt, std::nullopt));
  EXPECT_LT(SteadyClock::now() - start, 2s);
  ASSERT_TRUE(brindlet::testing::runUntil(
      io, [&] { return !readFile(pidFile).empty(); }, 3s));
  const pid_t program = std::atoi(readFile(pidFile).c_str());
  brindlet::testing::runUntil(
      io, [] { return false; }, 1000ms);
  EXPECT_FALSE(testsupport::processGone(program)) << "the program died after the key's result";
  own.reset();
  brindlet::testing::drain(io);
  EXPECT_TRUE(testsupport::processesGone({program}));
}

TEST_F(ActionRunnerTest, TimeOutEndsTheWholeGroupAtTheDeadline) {
  testsupport::TempDir dir;
  runtime::LogCapture log;
  const auto start = SteadyClock::now();
  EXPECT_EQ(outcome(shell("trap '' TERM; print $$ > " + dir.file("group") + "; sleep 30", 0.3)),
            "Timed out");
  const auto took = SteadyClock::now() - start;
  EXPECT_GE(took, 300ms);
  EXPECT_LT(took, 450ms);
  EXPECT_EQ(log.messages("deck", runtime::LogLevel::info),
            std::vector<std::string>{"Shell action timed out after 0.300000 s"});
  const pid_t group = std::atoi(readFile(dir.file("group")).c_str());
  ASSERT_GT(group, 0);
  EXPECT_TRUE(brindlet::testing::runUntil(
      io, [&] { return ::kill(-group, 0) != 0; }, 3s))
      << "the group outlived its grace";
}

// A shell that cannot start fails the action with the start error; a screenshot program that
// cannot start fails nothing, and one that runs ends with the runner at the latest.
TEST_F(ActionRunnerTest, ProgramsThatCannotStartAndProgramsLeftRunning) {
  testsupport::TempDir dir;
  const std::string started = dir.file("started");
  ActionPrograms programs;
  programs.shell = "/no/such/shell";
  programs.screenshot = {"/no/such/screenshot"};
  auto lost = std::make_unique<ActionRunner>(io.get_executor(), workspace, poster,
                                             runtime::Clock::system(), programs);
  const auto screenshot = Action::system(Action::SystemOp::screenshot);
  const auto outcomeOf = [&](ActionRunner& runner, const Action& action) {
    try {
      brindlet::testing::runUntilDone(io, runner.run(action, "p/k", {}, {}));
      return std::string();
    } catch (const ActionError& error) {
      return error.description();
    }
  };
  EXPECT_EQ(outcomeOf(*lost, shell("true")), R"(programNotFound("/no/such/shell"))");
  EXPECT_EQ(outcomeOf(*lost, screenshot), "");

  programs.screenshot = {
      "sh", "-c",
      "echo $$ > " + started + ".part; mv " + started + ".part " + started + "; exec sleep 60"};
  auto taking = std::make_unique<ActionRunner>(io.get_executor(), workspace, poster,
                                               runtime::Clock::system(), programs);
  EXPECT_EQ(outcomeOf(*taking, screenshot), "");
  ASSERT_TRUE(brindlet::testing::runUntil(
      io, [&] { return std::filesystem::exists(started); }, 5s));
  const pid_t program = std::atoi(readFile(started).c_str());
  ASSERT_GT(program, 0);
  EXPECT_EQ(::kill(program, 0), 0);
  taking.reset();
  brindlet::testing::drain(io);
  EXPECT_TRUE(testsupport::processesGone({program}));
}

// The opener's verdict is the key's: one that is missing or fails fails the action.
TEST_F(ActionRunnerTest, AnOpenerThatFailsFailsTheUrlKey) {
  const std::pair<std::vector<std::string>, std::string> rows[] = {
      {{"true"}, ""},
      {{"sh", "-c", "exit 4", "sh"}, "Exit 4"},
      {{"/no/such/opener"}, R"(programNotFound("/no/such/opener"))"},
  };
  for (const auto& [opener, description] : rows) {
    ActionPrograms programs;
    programs.opener = opener;
    ActionRunner runner(io.get_executor(), workspace, poster, runtime::Clock::system(), programs);
    try {
      brindlet::testing::runUntilDone(
          io, runner.run(ofKind(Action::Kind::url, "https://example.com/"), "p/k", {}, {}));
      EXPECT_EQ(description, "") << opener.front();
    } catch (const ActionError& error) {
      EXPECT_EQ(error.description(), description);
    }
  }
}

TEST_F(ActionRunnerTest, TimeOutsAreClamped) {
  const std::pair<std::optional<double>, runtime::Duration> table[] = {
      {std::nullopt, 5s}, {-3.0, 0s}, {0.25, 250ms}, {1e9, 24h}};
  for (auto [seconds, expected] : table) {
    EXPECT_EQ(ActionRunner::shellTimeout(seconds), expected) << seconds.value_or(-1);
  }
}

TEST_F(ActionRunnerTest, ChildrenSeeOnlyTheirStandardDescriptors) {
  asio::ip::tcp::acceptor hookPort(io, {asio::ip::make_address("127.0.0.1"), 0});
  asio::ip::tcp::socket link(io);
  link.connect(hookPort.local_endpoint());
  // ls holds the folder it lists open as 3.
  EXPECT_EQ(shellOutput("ls /proc/self/fd"), "0\n1\n2\n3\n");
}

TEST_F(ActionRunnerTest, LockShowsWhatLoginctlSays) {
  const std::string said = shellOutput("loginctl lock-session 2>&1; true");
  const std::string description = outcome(Action::system(Action::SystemOp::lock));
  if (said.empty()) GTEST_SKIP() << "this machine has a session to lock";
  EXPECT_EQ(description + "\n", said);
}

// The value in texts, whatever the user's locale.
class ValueText : public ::testing::TestWithParam<const char*> {
 protected:
  void SetUp() override {
    if (!std::setlocale(LC_ALL, GetParam())) GTEST_SKIP() << GetParam() << " is not installed";
  }
  void TearDown() override { std::setlocale(LC_ALL, "C"); }
};

TEST_P(ValueText, IsWrittenTheSameEverywhere) {
  const std::pair<std::optional<double>, const char*> table[] = {
      {std::nullopt, "v={value}&w={value}"},
      {3.0, "v=3&w=3"},
      {-1.0, "v=-1&w=-1"},
      {2.5, "v=2.50&w=2.50"},
      {-0.0, "v=0&w=0"},
      {0.005, "v=0.01&w=0.01"},
      {1e20, "v=100000000000000000000&w=100000000000000000000"},
  };
  for (auto [value, expected] : table) {
    EXPECT_EQ(ActionRunner::substitute("v={value}&w={value}", value), expected);
  }
}

TEST_P(ValueText, ReachesTheUrlHandler) {
  testsupport::TempDir home;
  const std::string received = home.file("received");
  home.write("handler", "#!/bin/sh\nprintf %s \"$1\" > " + received + ".part && mv " + received +
                            ".part " + received + "\n");
  ::chmod(home.file("handler").c_str(), 0755);
  std::filesystem::create_directories(home.file("data/applications"));
  std::filesystem::create_directories(home.file("config"));
  home.write("data/applications/brindlet-test.desktop",
             "[Desktop Entry]\nType=Application\nName=Test\nExec=" + home.file("handler") +
                 " %u\nMimeType=x-scheme-handler/brindlettest;\n");
  home.write("config/mimeapps.list",
             "[Default Applications]\nx-scheme-handler/brindlettest=brindlet-test.desktop\n");
  ::setenv("XDG_DATA_HOME", home.file("data").c_str(), 1);
  ::setenv("XDG_CONFIG_HOME", home.file("config").c_str(), 1);
  // The opener asks the desktop's handlers only when there is a display to show them on.
  ::setenv("DISPLAY", ":65000", 1);

  asio::io_context io;
  testing::ScriptedWorkspace workspace;
  desktop::RecordingPoster poster;
  ActionRunner runner(io.get_executor(), workspace, poster);
  brindlet::testing::runUntilDone(
      io,
      runner.run(ofKind(Action::Kind::url, "brindlettest://set?level={value}"), "p/s", 2.5, {}));
  EXPECT_TRUE(brindlet::testing::runUntil(
      io, [&] { return std::filesystem::exists(received); }, 10s));
  EXPECT_EQ(readFile(received), "brindlettest://set?level=2.50");
  for (const char* name : {"XDG_DATA_HOME", "XDG_CONFIG_HOME", "DISPLAY"}) ::unsetenv(name);
}

INSTANTIATE_TEST_SUITE_P(Locales, ValueText, ::testing::Values("C", "de_DE.UTF-8"));

}  // namespace
}  // namespace brindlet::deck
