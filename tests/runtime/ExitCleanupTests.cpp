#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <string>

#include "runtime/ExitCleanup.h"
#include "support/TempDir.h"

namespace brindlet::runtime {
namespace {

// A process in a group of its own that is not the crashing process's child: only the list can
// lead a clean-up to it, as to a program whose shell has ended.
pid_t sleeperGroup() {
  const pid_t pid = fork();
  if (pid == 0) {
    setpgid(0, 0);
    for (;;) pause();
  }
  setpgid(pid, pid);
  return pid;
}

// Whether `pid` (our child) ended by SIGKILL within a moment; it is killed and reaped either way.
bool killed(pid_t pid) {
  int status = 0;
  for (int i = 0; i < 200; ++i) {
    if (waitpid(pid, &status, WNOHANG) == pid)
      return WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL;
    usleep(5000);
  }
  kill(pid, SIGKILL);
  waitpid(pid, &status, 0);
  return false;
}

TEST(ExitCleanup, ACrashUndoesWhatIsStillRegistered) {
  using Ending = CrashEnding;
  const Ending asDisplayLoss = []() noexcept { return 3; };
  const Ending bySignal = []() noexcept { return -1; };
  const struct {
    const char* name;
    int signal;
    bool keepFile, keepGroup, fileTwice;
    Ending ending;
  } rows[] = {
      {"both registered, SIGSEGV", SIGSEGV, false, false, false, nullptr},
      {"file taken back", SIGSEGV, true, false, false, nullptr},
      {"group taken back", SIGSEGV, false, true, false, nullptr},
      {"file registered twice, taken back once", SIGSEGV, true, false, true, nullptr},
      {"GLib's g_error", SIGTRAP, false, false, false, nullptr},
      {"a refused system call", SIGSYS, false, false, false, nullptr},
      {"abort", SIGABRT, false, false, false, bySignal},
      {"ending as the display's loss", SIGBUS, false, false, false, asDisplayLoss},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    testsupport::TempDir dir;
    const auto file = std::filesystem::path(dir.path()) / "server.json";
    std::ofstream(file) << "{}";
    const auto errors = dir.file("errors");
    const pid_t group = sleeperGroup();
    const pid_t child = fork();
    if (child == 0) {
      const int fd = open(errors.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
      dup2(fd, STDERR_FILENO);
      coverFatalSignals();
      setCrashEnding(row.ending);
      removeFileOnExit(file);
      if (row.fileTwice) removeFileOnExit(file);
      if (row.keepFile) keepFileOnExit(file);
      endGroupOnExit(group);
      if (row.keepGroup) keepGroupOnExit(group);
      ::raise(row.signal);
      _exit(0);
    }
    int status = 0;
    waitpid(child, &status, 0);
    if (row.ending == asDisplayLoss) {
      EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 3) << status;
    } else {
      EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == row.signal) << status;
    }
    EXPECT_EQ(std::filesystem::exists(file), row.keepFile);
    EXPECT_EQ(killed(group), !row.keepGroup);
    std::ifstream in(errors);
    std::string first;
    std::getline(in, first);
    EXPECT_EQ(first, "Brindlet crashed (signal " + std::to_string(row.signal) + "):");
    EXPECT_TRUE(std::getline(in, first)) << "no stack";
  }
}

// How a fresh exit-cleanup-child ended that registered `file` and `group` and did `what` with
// `signal`, and the first two lines it wrote to standard error.
struct ChildEnd {
  int status = 0;
  std::string first, second;
};
ChildEnd runChild(const std::filesystem::path& file, pid_t group, std::string what, int signal) {
  testsupport::TempDir dir;
  const auto errors = dir.file("errors");
  std::string args[] = {EXIT_CLEANUP_CHILD, file.string(), std::to_string(group), what,
                        std::to_string(signal)};
  char* argv[] = {args[0].data(), args[1].data(), args[2].data(),
                  args[3].data(), args[4].data(), nullptr};
  const pid_t child = fork();
  if (child == 0) {
    const int fd = open(errors.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    dup2(fd, STDERR_FILENO);
    execv(argv[0], argv);
    _exit(127);
  }
  ChildEnd end;
  waitpid(child, &end.status, 0);
  std::ifstream in(errors);
  std::getline(in, end.first);
  std::getline(in, end.second);
  return end;
}

// The signals sent from outside and a stack overflow on each kind of thread the app starts.
// SIGQUIT and the overflow take a crash's road: the clean-up, the stack, the end by the signal
// (the overflow's handler on the thread's own stack for it); the signals nothing of ours uses clean
// up and end as their default would, or are ignored; one left ignored by whoever started the
// process stays ignored.
TEST(ExitCleanup, ASignalOrAnOverflowOnAThreadOfOursEndsAsItsRowSays) {
  enum Outcome { crashes, ends, ignored };
  const struct {
    const char* what;
    int signal;
    Outcome outcome;
  } rows[] = {
      {"raise", SIGQUIT, crashes},  // Ctrl-\, which asks for a core dump
      {"overflow-on-worker", SIGSEGV, crashes},
      {"overflow-on-loop-thread", SIGSEGV, crashes},
      {"overflow-on-a-thread-that-names-itself", SIGSEGV, crashes},  // as the App's
      {"raise", SIGUSR1, ends},
      {"raise", SIGUSR2, ends},
      {"raise", SIGALRM, ends},  // alarm() with no handler
      {"raise", SIGPWR, ends},
      {"raise", SIGXCPU, ends},
      {"raise", SIGRTMIN + 3, ends},
      {"raise", SIGXFSZ, ignored},
      {"raise", SIGPROF, ignored},
      {"raise-found-ignored", SIGQUIT, ignored},  // a shell's background job
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(std::string(row.what) + " " + std::to_string(row.signal));
    testsupport::TempDir dir;
    const auto file = std::filesystem::path(dir.path()) / "server.json";
    std::ofstream(file) << "{}";
    const pid_t group = sleeperGroup();
    const auto end = runChild(file, group, row.what, row.signal);
    if (row.outcome == ignored) {
      EXPECT_TRUE(WIFEXITED(end.status) && WEXITSTATUS(end.status) == 0) << end.status;
    } else {
      EXPECT_TRUE(WIFSIGNALED(end.status) && WTERMSIG(end.status) == row.signal) << end.status;
    }
    EXPECT_EQ(std::filesystem::exists(file), row.outcome == ignored);
    EXPECT_EQ(killed(group), row.outcome != ignored);
    if (row.outcome == crashes) {
      EXPECT_EQ(end.first, "Brindlet crashed (signal " + std::to_string(row.signal) + "):");
      EXPECT_FALSE(end.second.empty()) << "no stack";
    } else {
      EXPECT_EQ(end.first, "") << "a stack where nothing crashed";
    }
  }
}

// The clean-up ends the groups of the programs the process started, each of which leads one of
// its own, and not a child that shares the process's own group, as a reader of its standard error
// does that the shell made its child (`brindlet 2> >(tee log)`).
TEST(ExitCleanup, TheCleanUpEndsOurProgramsGroupsAndSparesAChildInOurGroup) {
  const pid_t app = fork();
  if (app == 0) {
    for (const pid_t group : groupsEndedOnExit()) keepGroupOnExit(group);  // the parent's
    const pid_t program = sleeperGroup();
    const pid_t reader = fork();
    if (reader == 0) {
      for (;;) pause();
    }
    cleanUpForExit();
    const bool programKilled = killed(program);
    const bool readerLives = !killed(reader);
    _exit((programKilled ? 0 : 1) | (readerLives ? 0 : 2));
  }
  int status = 0;
  waitpid(app, &status, 0);
  ASSERT_TRUE(WIFEXITED(status)) << status;
  EXPECT_EQ(WEXITSTATUS(status) & 1, 0) << "the program's group lives on";
  EXPECT_EQ(WEXITSTATUS(status) & 2, 0) << "the child in our own group was killed";
}

TEST(ExitCleanup, TheListsRefuseWhenFullAndFreeWhatIsTakenBack) {
  testsupport::TempDir dir;
  std::vector<std::filesystem::path> taken;
  for (int i = 0;; ++i) {
    const auto path = std::filesystem::path(dir.path()) / std::to_string(i);
    if (!removeFileOnExit(path)) break;
    taken.push_back(path);
    ASSERT_LT(i, 4096);
  }
  EXPECT_GE(taken.size(), 4u);
  keepFileOnExit(taken.front());
  EXPECT_TRUE(removeFileOnExit(std::filesystem::path(dir.path()) / "again"));
  EXPECT_FALSE(removeFileOnExit(std::string(PATH_MAX, 'x')));
  keepFileOnExit(std::filesystem::path(dir.path()) / "again");
  for (const auto& path : taken) keepFileOnExit(path);

  EXPECT_TRUE(endGroupOnExit(424242));
  EXPECT_TRUE(endGroupOnExit(424242));
  const auto registered = groupsEndedOnExit();
  EXPECT_EQ(std::count(registered.begin(), registered.end(), 424242), 1);
  keepGroupOnExit(424242);
  const auto left = groupsEndedOnExit();
  EXPECT_EQ(std::find(left.begin(), left.end(), 424242), left.end());
}

// Once the process is ending, a file registered now is refused, so that its owner does not make
// a file no clean-up would take.
TEST(ExitCleanup, AFileIsRefusedOnceTheCleanUpHasBegun) {
  testsupport::TempDir dir;
  const pid_t child = fork();
  if (child == 0) {
    for (const pid_t group : groupsEndedOnExit()) keepGroupOnExit(group);  // the parent's
    const bool before = removeFileOnExit(dir.file("before"));
    cleanUpForExit();
    const bool after = removeFileOnExit(dir.file("after"));
    _exit(before && !after ? 0 : 1);
  }
  int status = 0;
  waitpid(child, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

}  // namespace
}  // namespace brindlet::runtime
