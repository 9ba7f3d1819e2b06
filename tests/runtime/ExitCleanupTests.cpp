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

// Whether `pid` (our child) ended by SIGKILL within a moment; it is reaped either way.
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
