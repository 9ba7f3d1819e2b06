// process-keeper <program> [<argument>...]: runs the program and, once its starter has gone (its
// standard input ends, or SIGTERM comes: the death signal the test harness gives its children),
// ends everything the program started, whatever left its session or was orphaned. A daemon a
// test starts (a tmux server and what runs in its panes) thus never outlives the test, even one
// killed by its time-out. Until then the program and its own may end as they will.

#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/signalfd.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

namespace {

// Every process whose parent chain leads here: as the subreaper, this process becomes the
// parent of whatever its descendants leave orphaned.
std::vector<pid_t> descendants() {
  std::multimap<pid_t, pid_t> children;
  for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
    const std::string name = entry.path().filename().string();
    if (name.find_first_not_of("0123456789") != std::string::npos) continue;
    std::string stat;
    std::getline(std::ifstream(entry.path() / "stat"), stat);
    const auto end = stat.rfind(')');
    if (end == std::string::npos) continue;
    std::istringstream fields(stat.substr(end + 2));
    std::string state;
    pid_t parent = 0;
    if (fields >> state >> parent) children.emplace(parent, std::atoi(name.c_str()));
  }
  std::vector<pid_t> found{::getpid()};
  for (std::size_t at = 0; at < found.size(); ++at) {
    const auto [from, to] = children.equal_range(found[at]);
    for (auto it = from; it != to; ++it) found.push_back(it->second);
  }
  found.erase(found.begin());
  return found;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: process-keeper <program> [<argument>...]\n");
    return 2;
  }
  ::prctl(PR_SET_CHILD_SUBREAPER, 1);
  sigset_t terminate;
  sigemptyset(&terminate);
  sigaddset(&terminate, SIGTERM);
  sigaddset(&terminate, SIGINT);
  sigaddset(&terminate, SIGHUP);
  ::sigprocmask(SIG_BLOCK, &terminate, nullptr);
  const pid_t program = ::fork();
  if (program == 0) {
    ::sigprocmask(SIG_UNBLOCK, &terminate, nullptr);
    ::close(STDIN_FILENO);
    ::execvp(argv[1], argv + 1);
    std::perror(argv[1]);
    ::_exit(127);
  }
  if (program < 0) return 127;

  pollfd watched[2] = {{STDIN_FILENO, POLLIN, 0}, {::signalfd(-1, &terminate, 0), POLLIN, 0}};
  for (bool going = true; going;) {
    if (::poll(watched, 2, -1) < 0 && errno != EINTR) break;
    if (watched[0].revents != 0) {
      char bytes[256];
      going = ::read(STDIN_FILENO, bytes, sizeof bytes) > 0;
    }
    if (watched[1].revents != 0) going = false;
  }

  int status = 0, programStatus = 0;
  for (;;) {
    for (const pid_t pid : descendants()) ::kill(pid, SIGKILL);
    const pid_t ended = ::waitpid(-1, &status, 0);
    if (ended < 0 && errno == ECHILD) break;
    if (ended == program) programStatus = status;
  }
  if (WIFSIGNALED(programStatus)) return 128 + WTERMSIG(programStatus);
  return WEXITSTATUS(programStatus);
}
