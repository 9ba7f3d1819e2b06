#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <fstream>
#include <set>
#include <thread>

#include "runtime/JournalSink.h"
#include "runtime/Log.h"
#include "runtime/Observable.h"

namespace brindlet::runtime {
namespace {

TEST(Log, CaptureSeesFormattedEntriesOfItsLifetimeOnly) {
  const auto& log = Logger::of("transport");
  log.info("before");
  std::vector<LogEntry> captured;
  {
    LogCapture capture;
    log.error("Listener on %hu: %s", static_cast<unsigned short>(9000), "Address in use");
    log.debug("Send failed: %s", "closed");
    captured = capture.sink().entries();
    EXPECT_EQ(capture.messages("transport", LogLevel::error),
              std::vector<std::string>{"Listener on 9000: Address in use"});
    EXPECT_TRUE(capture.messages("other", LogLevel::error).empty());
  }
  log.error("after");
  ASSERT_EQ(captured.size(), 2u);
  EXPECT_EQ(captured[1],
            (LogEntry{"com.velvane.mac", "transport", LogLevel::debug, "Send failed: closed"}));
}

TEST(Log, ThresholdsDropEntriesBelowThemPerCategory) {
  LogCapture capture;
  const auto &frames = Logger::of("threshold.frames"), &deck = Logger::of("threshold.deck"),
             &later = Logger::of("threshold.later");
  Log::setThreshold("threshold.frames", LogLevel::error);
  Log::setThreshold("threshold.deck", LogLevel::debug);
  Log::setThreshold(LogLevel::info);  // all others, also those made later
  const auto& last = Logger::of("threshold.last");
  for (auto* logger : {&frames, &deck, &later, &last}) {
    logger->debug("d");
    logger->info("i");
    logger->error("e");
  }
  Log::setThreshold(LogLevel::debug);
  Log::setThreshold("threshold.frames", LogLevel::debug);
  std::vector<std::string> seen;
  for (const auto& entry : capture.sink().entries()) {
    seen.push_back(entry.category.substr(10) + ":" + entry.message);
  }
  EXPECT_EQ(seen, (std::vector<std::string>{"frames:e", "deck:d", "deck:i", "deck:e", "later:i",
                                            "later:e", "last:i", "last:e"}));
  EXPECT_TRUE(frames.enables(LogLevel::debug));
}

TEST(Log, OneLoggerPerCategoryForEveryThread) {
  constexpr int threads = 8, categories = 50;
  std::vector<std::vector<const Logger*>> seen(threads, std::vector<const Logger*>(categories));
  {
    std::vector<std::jthread> running;
    std::atomic<bool> go{false};
    for (int t = 0; t < threads; ++t) {
      running.emplace_back([&, t] {
        while (!go) std::this_thread::yield();
        // Each thread asks in its own order, so that first uses race from every side.
        for (int i = 0; i < categories; ++i) {
          const int c = (i * 7 + t * 13) % categories;
          seen[t][c] = &Logger::of("of.race." + std::to_string(c));
        }
      });
    }
    go = true;
  }
  std::set<const Logger*> distinct(seen[0].begin(), seen[0].end());
  EXPECT_EQ(distinct.size(), std::size_t(categories));
  for (int t = 1; t < threads; ++t) EXPECT_EQ(seen[t], seen[0]) << "thread " << t;
  for (int c = 0; c < categories; ++c) {
    EXPECT_EQ(seen[0][c]->category(), "of.race." + std::to_string(c));
    EXPECT_EQ(seen[0][c], &Logger::of("of.race." + std::to_string(c)));
  }
}

// In a child with its own user and mount namespaces and an empty /run: listens where the journal
// does, logs the entries through a JournalSink and hands what arrived to the parent.
// Exits 77 when the system gives no such namespaces.
void journalChild(int out, const std::vector<LogEntry>& entries) {
  const auto uid = std::to_string(::getuid()), gid = std::to_string(::getgid());
  if (::unshare(CLONE_NEWUSER | CLONE_NEWNS) != 0) ::_exit(77);
  std::ofstream("/proc/self/setgroups") << "deny";
  std::ofstream("/proc/self/uid_map") << "0 " << uid << " 1";
  std::ofstream("/proc/self/gid_map") << "0 " << gid << " 1";
  if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
      ::mount("tmpfs", "/run", "tmpfs", 0, nullptr) != 0) {
    ::_exit(77);
  }
  ::mkdir("/run/systemd", 0755);
  ::mkdir("/run/systemd/journal", 0755);
  int journal = ::socket(AF_UNIX, SOCK_DGRAM, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strcpy(address.sun_path, "/run/systemd/journal/socket");
  if (::bind(journal, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) ::_exit(1);
  JournalSink sink;
  for (const auto& entry : entries) {
    sink.write(entry);
    char datagram[65536];
    auto n = ::recv(journal, datagram, sizeof datagram, 0);
    if (n <= 0) ::_exit(2);
    datagram[n++] = '\0';
    if (::write(out, datagram, static_cast<std::size_t>(n)) != n) ::_exit(3);
  }
  ::_exit(0);
}

TEST(Log, JournalSinkSendsMessagePriorityAndArea) {
  const std::vector<LogEntry> entries = {
      {"com.velvane.mac", "transport", LogLevel::error, "Listener on 9000: Address in use"},
      {"com.velvane.mac", "deck", LogLevel::info, "Loaded 3 profiles"},
      {"com.velvane.mac", "video", LogLevel::debug, "frame 12"},
  };
  int pipe[2];
  ASSERT_EQ(::pipe(pipe), 0);
  pid_t child = ::fork();
  if (child == 0) journalChild(pipe[1], entries);
  ::close(pipe[1]);
  std::string received;
  char buffer[4096];
  for (ssize_t n; (n = ::read(pipe[0], buffer, sizeof buffer)) > 0;) received.append(buffer, n);
  ::close(pipe[0]);
  int status = 0;
  ::waitpid(child, &status, 0);
  if (WIFEXITED(status) && WEXITSTATUS(status) == 77) GTEST_SKIP() << "no user namespaces";
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  std::vector<std::string> datagrams;
  for (std::size_t at = 0; at < received.size(); at = received.find('\0', at) + 1) {
    datagrams.emplace_back(received.c_str() + at);
  }
  const std::string area = "SUBSYSTEM=com.velvane.mac\nCATEGORY=";
  const std::string source = "\nSYSLOG_IDENTIFIER=runtime_tests\n";
  EXPECT_EQ(datagrams, (std::vector<std::string>{
                           "MESSAGE=Listener on 9000: Address in use\nPRIORITY=3\n" + area +
                               "transport" + source,
                           "MESSAGE=Loaded 3 profiles\nPRIORITY=6\n" + area + "deck" + source,
                           "MESSAGE=frame 12\nPRIORITY=7\n" + area + "video" + source,
                       }));
}

TEST(Observable, NotifiesOnlyOnChangeAndUntilUnsubscribed) {
  Observable<std::string> value("a");
  std::vector<std::string> first, second;
  auto s1 = value.subscribe([&](const std::string& v) { first.push_back(v); });
  auto s2 = value.subscribe([&](const std::string& v) { second.push_back(v); });
  EXPECT_FALSE(value.set("a"));
  EXPECT_TRUE(value.set("b"));
  s2.reset();
  value.set("b");
  value.set("c");
  EXPECT_EQ(first, (std::vector<std::string>{"b", "c"}));
  EXPECT_EQ(second, (std::vector<std::string>{"b"}));
  EXPECT_EQ(value.get(), "c");
}

}  // namespace
}  // namespace brindlet::runtime
