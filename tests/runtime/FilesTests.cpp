#include <gtest/gtest.h>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fcntl.h>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <optional>
#include <set>
#include <thread>
#include <variant>

#include "runtime/FileDescriptor.h"
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

// What a read gave: the bytes, or the error's case and number.
using Outcome = std::variant<std::string, std::pair<FileError::Case, int>>;

Outcome outcomeOf(const fs::path& path, std::size_t limit, BeyondLimit beyond) {
  try {
    return readFile(path, limit, beyond);
  } catch (const FileError& e) {
    EXPECT_EQ(e.path(), path);
    return std::pair(e.kind(), e.error());
  }
}

TEST(Files, ReadFileReadsRegularFilesWithinTheLimitAndRefusesTheRest) {
  testsupport::TempDir dir;
  const fs::path root = dir.path();
  dir.write("regular", "hello");
  dir.write("empty", "");
  fs::create_directory(root / "folder");
  ASSERT_EQ(::mkfifo((root / "pipe").c_str(), 0600), 0);  // no writer: opening it may not wait
  fs::create_symlink(root / "regular", root / "link");
  fs::create_symlink(root / "pipe", root / "link-to-pipe");
  const std::string large(100000, 'x');
  dir.write("large", large + "end");
  // /proc files report size 0 and are read to their end.
  const std::string limits = testsupport::readFile("/proc/self/limits");
  ASSERT_GT(limits.size(), 64u);

  using C = FileError::Case;
  using B = BeyondLimit;
  const struct {
    const char* name;
    fs::path path;
    std::size_t limit;
    BeyondLimit beyond;
    Outcome expected;
  } rows[] = {
      {"regular", root / "regular", 5, B::fail, "hello"},
      {"empty", root / "empty", 0, B::fail, ""},
      {"over the limit", root / "regular", 4, B::fail, std::pair(C::tooLarge, EFBIG)},
      {"its start", root / "regular", 4, B::keepStart, "hell"},
      {"its end", root / "regular", 3, B::keepEnd, "llo"},
      {"a long file's end", root / "large", 3, B::keepEnd, "end"},
      {"a link to a regular file", root / "link", 100, B::fail, "hello"},
      {"/proc of size 0", "/proc/self/limits", 1 << 20, B::fail, limits},
      {"/proc past the limit", "/proc/self/limits", 10, B::fail, std::pair(C::tooLarge, EFBIG)},
      {"/proc's start", "/proc/self/limits", 10, B::keepStart, limits.substr(0, 10)},
      {"/proc's end", "/proc/self/limits", 20, B::keepEnd, limits.substr(limits.size() - 20)},
      {"a pipe", root / "pipe", 100, B::fail, std::pair(C::notRegular, 0)},
      {"a link to a pipe", root / "link-to-pipe", 100, B::fail, std::pair(C::notRegular, 0)},
      {"a folder", root / "folder", 100, B::fail, std::pair(C::notRegular, EISDIR)},
      {"a device", "/dev/null", 100, B::fail, std::pair(C::notRegular, 0)},
      {"missing", root / "missing", 100, B::fail, std::pair(C::cannotOpen, ENOENT)},
  };
  for (const auto& row : rows) {
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(outcomeOf(row.path, row.limit, row.beyond), row.expected) << row.name;
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1)) << row.name;
  }
}

TEST(Files, FileErrorsSayWhatAndWhere) {
  EXPECT_EQ(FileError::cannotOpen("/a \"b\"", ENOENT).text(),
            R"(cannotOpen(path: "/a \"b\"", errno: 2))");
  EXPECT_EQ(FileError::notRegular("/p", "pipe").text(), R"(notRegular(path: "/p", type: pipe))");
  EXPECT_EQ(FileError::tooLarge("/l", 10).text(), R"(tooLarge(path: "/l", limit: 10))");
  const std::pair<FileError, std::string> reasons[] = {
      {FileError::cannotOpen("/m", ENOENT), "No such file or directory"},
      {FileError::cannotRead("/r", EIO), "Input/output error"},
      {FileError::notRegular("/f", "folder"), "Is a directory"},
      {FileError::notRegular("/p", "pipe"), "Not a regular file"},
      {FileError::tooLarge("/l", 10), "File too large"},
  };
  for (const auto& [error, reason] : reasons) EXPECT_EQ(error.reason(), reason) << error.text();
}

bool isOpen(int fd) {
  return ::fcntl(fd, F_GETFD) != -1;
}

TEST(FileDescriptor, OwnsOneDescriptorThroughMovesAndClosesItOnce) {
  const auto openNull = [] { return ::open("/dev/null", O_RDONLY | O_CLOEXEC); };
  int first = -1;
  {
    FileDescriptor a(openNull());
    first = a.get();
    ASSERT_TRUE(a.valid());
    FileDescriptor b(std::move(a));
    EXPECT_FALSE(a.valid());
    EXPECT_EQ(b.get(), first);
    FileDescriptor c(openNull());
    const int second = c.get();
    c = std::move(b);  // the one c held goes
    EXPECT_FALSE(isOpen(second));
    EXPECT_EQ(c.get(), first);
    EXPECT_TRUE(isOpen(first));
  }
  EXPECT_FALSE(isOpen(first));

  FileDescriptor d(openNull());
  const int released = d.release();
  EXPECT_FALSE(d.valid());
  EXPECT_TRUE(isOpen(released));
  d.reset(released);
  EXPECT_EQ(d.get(), released);
  d.reset();
  EXPECT_FALSE(isOpen(released));
  EXPECT_FALSE(d.valid());
}

}  // namespace
}  // namespace brindlet::runtime
