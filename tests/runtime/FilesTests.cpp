#include <gtest/gtest.h>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <cstdlib>
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

std::string contentsOf(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// Sets the umask for the scope of a test.
struct Umask {
  explicit Umask(mode_t mask) : former(::umask(mask)) {}
  ~Umask() { ::umask(former); }
  mode_t former;
};

// Sets or clears an environment variable for the scope of a test.
struct Environment {
  Environment(const char* name, const char* value) : name(name) {
    if (const char* old = std::getenv(name)) former = old;
    value ? ::setenv(name, value, 1) : ::unsetenv(name);
  }
  ~Environment() { former ? ::setenv(name, former->c_str(), 1) : ::unsetenv(name); }
  const char* name;
  std::optional<std::string> former;
};

TEST(Files, UserFoldersFollowTheirVariablesOrTheirDefaults) {
  Environment home("HOME", "/home/ann");
  struct Case {
    UserFolder folder;
    const char* variable;
    const char* value;
    fs::path expected;
  };
  const Case cases[] = {
      {UserFolder::data, "XDG_DATA_HOME", "/d", "/d"},
      {UserFolder::data, "XDG_DATA_HOME", nullptr, "/home/ann/.local/share"},
      {UserFolder::data, "XDG_DATA_HOME", "relative", "/home/ann/.local/share"},
      {UserFolder::config, "XDG_CONFIG_HOME", "/c", "/c"},
      {UserFolder::config, "XDG_CONFIG_HOME", "", "/home/ann/.config"},
      {UserFolder::state, "XDG_STATE_HOME", "/s", "/s"},
      {UserFolder::state, "XDG_STATE_HOME", nullptr, "/home/ann/.local/state"},
      {UserFolder::runtime, "XDG_RUNTIME_DIR", "/r", "/r"},
  };
  for (const auto& c : cases) {
    Environment variable(c.variable, c.value);
    EXPECT_EQ(userFolder(c.folder), c.expected) << c.variable << "=" << (c.value ? c.value : "");
  }
  Environment unset("XDG_RUNTIME_DIR", nullptr);
  auto runtime = userFolder(UserFolder::runtime);
  EXPECT_TRUE(runtime.is_absolute());
  EXPECT_NE(runtime.filename().string().find(std::to_string(::getuid())), std::string::npos);
}

TEST(Files, MakeFolderCreatesPrivateFoldersAndRefusesWhatIsNoFolder) {
  testsupport::TempDir dir;
  Umask open(0);
  const fs::path root = dir.path();
  ::chmod(root.c_str(), 0755);
  makeFolder(root / "a/b/c");
  for (auto* made : {"a", "a/b", "a/b/c"}) EXPECT_EQ(modeOf(root / made), 0700u) << made;
  EXPECT_EQ(modeOf(root), 0755u);  // a parent that was there keeps its mode

  fs::create_directory(root / "wide");
  ::chmod((root / "wide").c_str(), 0777);
  makeFolder(root / "wide");
  EXPECT_EQ(modeOf(root / "wide"), 0700u);
  makeFolder(root / "shared", 0755);
  EXPECT_EQ(modeOf(root / "shared"), 0755u);

  dir.write("file", "x");
  fs::create_directory_symlink(root / "wide", root / "link");
  for (auto* wrong : {"file", "link"}) {
    EXPECT_THROW(makeFolder(root / wrong), fs::filesystem_error) << wrong;
  }
  EXPECT_EQ(modeOf(root / "wide"), 0700u);
}

// Records the mode of every entry of a folder each time inotify reports it, until stopped.
class ModeWatcher {
 public:
  explicit ModeWatcher(const fs::path& folder) : folder_(folder) {
    fd_ = ::inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
    ::inotify_add_watch(fd_, folder.c_str(),
                        IN_CREATE | IN_ATTRIB | IN_MODIFY | IN_CLOSE_WRITE | IN_MOVED_TO);
    thread_ = std::thread([this] { run(); });
  }
  ~ModeWatcher() {
    stop();
    ::close(fd_);
  }
  std::set<mode_t> stop() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    return seen_;
  }

 private:
  void run() {
    alignas(inotify_event) char buffer[4096];
    while (!stop_) {
      pollfd ready{fd_, POLLIN, 0};
      if (::poll(&ready, 1, 10) <= 0) continue;
      auto n = ::read(fd_, buffer, sizeof buffer);
      for (ssize_t at = 0; at < n;) {
        auto* event = reinterpret_cast<inotify_event*>(buffer + at);
        if (event->len > 0) {
          if (auto mode = modeOf(folder_ / event->name)) seen_.insert(mode);
        }
        at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
      }
    }
  }

  fs::path folder_;
  int fd_ = -1;
  std::atomic<bool> stop_{false};
  std::set<mode_t> seen_;
  std::thread thread_;
};

TEST(Files, AtomicWriteUnderAnOpenUmaskHoldsItsModeFromTheFirstByte) {
  testsupport::TempDir dir;
  Umask open(0);
  const fs::path key = dir.file("key");
  const std::string bytes(4 << 20, 'k');
  std::set<mode_t> seen;
  {
    ModeWatcher watcher(dir.path());
    for (int round = 0; round < 20; ++round) writeFileAtomically(key, bytes);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    seen = watcher.stop();
  }
  EXPECT_EQ(seen, std::set<mode_t>{0600});
  EXPECT_EQ(contentsOf(key), bytes);
  EXPECT_EQ(std::distance(fs::directory_iterator(dir.path()), {}), 1);  // no temporary left

  writeFileAtomically(key, "public", 0644);
  EXPECT_EQ(modeOf(key), 0644u);
  Umask closed(0777);
  writeFileAtomically(key, "private", 0600);
  EXPECT_EQ(modeOf(key), 0600u);
}

TEST(Files, PlantedTemporaryLendsNeitherItsModeNorItsTarget) {
  testsupport::TempDir dir;
  Umask open(0);
  const fs::path key = dir.file("key");
  dir.write("outside", "untouched");
  dir.write("key.tmp", "stale");
  ::chmod(dir.file("key.tmp").c_str(), 0644);
  fs::create_symlink(dir.file("outside"), dir.file("key.tmp.link"));
  for (auto* planted : {"key.tmp", "key.tmp.link"}) {
    writeFileAtomically(key, planted);
    EXPECT_EQ(modeOf(key), 0600u) << planted;
    EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(key))) << planted;
    EXPECT_EQ(contentsOf(key), planted);
  }
  EXPECT_EQ(contentsOf(dir.file("outside")), "untouched");
  EXPECT_EQ(contentsOf(dir.file("key.tmp")), "stale");
}

TEST(Files, WriteThatFailsOrCrashesBeforeTheRenameKeepsTheOldFile) {
  testsupport::TempDir dir;
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
    if (crash) {
      EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGXFSZ) << status;
    } else {
      EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 3) << status;
    }
    EXPECT_EQ(contentsOf(key), "old") << crash;
  }
  // Only the crashed child's temporary is left; it does not stand in the next write's way.
  EXPECT_EQ(std::distance(fs::directory_iterator(dir.path()), {}), 2);
  writeFileAtomically(key, "new");
  EXPECT_EQ(contentsOf(key), "new");
}

}  // namespace
}  // namespace brindlet::runtime
