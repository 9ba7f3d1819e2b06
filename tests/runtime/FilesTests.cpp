#include <gtest/gtest.h>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <set>
#include <thread>

#include "runtime/Files.h"
#include "support/TempDir.h"

namespace brindlet::runtime {
namespace {

namespace fs = std::filesystem;

mode_t modeOf(const fs::path& path) {
  struct stat status {};
  return ::lstat(path.c_str(), &status) == 0 ? status.st_mode & 07777 : 0;
}

std::size_t entriesOf(const fs::path& folder) {
  return static_cast<std::size_t>(std::distance(fs::directory_iterator(folder), {}));
}

// Sets the umask for the scope of a test.
struct Umask {
  explicit Umask(mode_t mask) : former(::umask(mask)) {}
  ~Umask() { ::umask(former); }
  mode_t former;
};

TEST(Files, UserFoldersFollowTheirVariablesOrTheirDefaults) {
  const std::tuple<UserFolder, const char*, const char*, fs::path> cases[] = {
      {UserFolder::data, "XDG_DATA_HOME", "/d", "/d"},
      {UserFolder::data, "XDG_DATA_HOME", "relative", "/home/ann/.local/share"},
      {UserFolder::config, "XDG_CONFIG_HOME", "", "/home/ann/.config"},
      {UserFolder::state, "XDG_STATE_HOME", "/s", "/s"},
      {UserFolder::state, "XDG_STATE_HOME", "", "/home/ann/.local/state"},
      {UserFolder::runtime, "XDG_RUNTIME_DIR", "/r", "/r"},
  };
  const std::string home = std::getenv("HOME");
  ::setenv("HOME", "/home/ann", 1);
  for (const auto& [folder, variable, value, expected] : cases) {
    const char* former = std::getenv(variable);
    const std::string kept = former ? former : "";
    ::setenv(variable, value, 1);
    EXPECT_EQ(userFolder(folder), expected) << variable << "=" << value;
    former ? ::setenv(variable, kept.c_str(), 1) : ::unsetenv(variable);
  }
  ::setenv("HOME", home.c_str(), 1);
}

TEST(Files, MakeFolderCreatesPrivateFoldersAndRefusesWhatIsNoFolder) {
  testsupport::TempDir dir;
  Umask open(0);
  const fs::path root = dir.path();
  ::chmod(root.c_str(), 0755);
  makeFolder(root / "a/b");
  EXPECT_EQ(modeOf(root / "a"), 0700u);
  EXPECT_EQ(modeOf(root / "a/b"), 0700u);
  EXPECT_EQ(modeOf(root), 0755u);  // a parent that was there keeps its mode
  ::chmod((root / "a").c_str(), 0777);
  makeFolder(root / "a");
  EXPECT_EQ(modeOf(root / "a"), 0700u);

  dir.write("file", "x");
  fs::create_directory_symlink(root / "a", root / "link");
  EXPECT_THROW(makeFolder(root / "file"), fs::filesystem_error);
  EXPECT_THROW(makeFolder(root / "link"), fs::filesystem_error);
}

TEST(Files, AtomicWriteUnderAnOpenUmaskHoldsItsModeFromTheFirstByte) {
  testsupport::TempDir dir;
  Umask open(0);
  // A watcher that looks at every entry of the folder each time inotify reports it.
  int watch = ::inotify_init1(IN_CLOEXEC);
  ::inotify_add_watch(watch, dir.path().c_str(), IN_CREATE | IN_ATTRIB | IN_MODIFY | IN_MOVED_TO);
  std::atomic<bool> done{false};
  std::set<mode_t> seen;
  std::thread watcher([&] {
    alignas(inotify_event) char buffer[4096];
    for (pollfd ready{watch, POLLIN, 0}; !done;) {
      if (::poll(&ready, 1, 10) <= 0) continue;
      auto n = ::read(watch, buffer, sizeof buffer);
      for (ssize_t at = 0; at < n;) {
        auto* event = reinterpret_cast<inotify_event*>(buffer + at);
        if (auto mode = event->len > 0 ? modeOf(dir.file(event->name)) : 0) seen.insert(mode);
        at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
      }
    }
  });
  const std::string bytes(4 << 20, 'k');
  for (int round = 0; round < 20; ++round) writeFileAtomically(dir.file("key"), bytes);
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  done = true;
  watcher.join();
  ::close(watch);
  EXPECT_EQ(seen, std::set<mode_t>{0600});
  EXPECT_EQ(testsupport::readFile(dir.file("key")), bytes);
  EXPECT_EQ(entriesOf(dir.path()), 1u);  // no temporary left

  Umask closed(0777);
  writeFileAtomically(dir.file("key"), "public", 0644);
  EXPECT_EQ(modeOf(dir.file("key")), 0644u);
}

TEST(Files, FailedCrashedAndPlantedTemporariesNeverReachTheFile) {
  testsupport::TempDir dir;
  Umask open(0);
  const fs::path key = dir.file("key");
  writeFileAtomically(key, "old");
  // The child may write 1 KiB: the second write of a 64 KiB file exceeds it, which kills the
  // child unless it ignores the signal, and then fails the write.
  for (bool crash : {true, false}) {
    pid_t child = ::fork();
    if (child == 0) {
      rlimit none{0, 0}, small{1024, 1024};
      ::setrlimit(RLIMIT_CORE, &none);
      ::setrlimit(RLIMIT_FSIZE, &small);
      if (!crash) ::signal(SIGXFSZ, SIG_IGN);
      try {
        writeFileAtomically(key, std::string(64 << 10, 'n'));
      } catch (const fs::filesystem_error& e) {
        ::_exit(e.code() == std::errc::file_too_large ? 3 : 4);
      }
      ::_exit(0);
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    EXPECT_EQ(status, crash ? SIGXFSZ : 3 << 8);
    EXPECT_EQ(testsupport::readFile(key), "old") << crash;
  }
  EXPECT_EQ(entriesOf(dir.path()), 2u);  // the crashed child's temporary

  // Leftovers where a temporary was once kept lend neither their mode nor their target.
  dir.write("outside", "untouched");
  dir.write("key.tmp", "stale");
  ::chmod(dir.file("key.tmp").c_str(), 0644);
  fs::create_symlink(dir.file("outside"), dir.file("key.tmp.link"));
  writeFileAtomically(key, "new");
  EXPECT_EQ(modeOf(key), 0600u);
  EXPECT_EQ(testsupport::readFile(key), "new");
  EXPECT_EQ(testsupport::readFile(dir.file("outside")), "untouched");
}

}  // namespace
}  // namespace brindlet::runtime
