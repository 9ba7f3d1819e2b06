#include "KeyringSession.h"

#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <thread>

namespace brindlet::platform {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

pid_t spawn(const std::vector<std::string>& argv, int stdoutFd, bool ownGroup) {
  pid_t pid = fork();
  if (pid < 0) throw std::runtime_error("fork failed");
  if (pid == 0) {
    if (ownGroup) setpgid(0, 0);
    if (stdoutFd >= 0) dup2(stdoutFd, STDOUT_FILENO);
    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    execvp(args[0], args.data());
    _exit(127);
  }
  if (ownGroup) setpgid(pid, pid);
  return pid;
}

bool secretsNameOwned() {
  ProgramResult r =
      runProgram({"dbus-send", "--session", "--dest=org.freedesktop.DBus", "--type=method_call",
                  "--print-reply", "/org/freedesktop/DBus", "org.freedesktop.DBus.NameHasOwner",
                  "string:org.freedesktop.secrets"});
  return r.status == 0 && r.output.find("boolean true") != std::string::npos;
}

}  // namespace

ProgramResult runProgram(const std::vector<std::string>& argv) {
  int fds[2];
  if (pipe(fds) != 0) throw std::runtime_error("pipe failed");
  pid_t pid = spawn(argv, fds[1], false);
  close(fds[1]);
  ProgramResult result;
  char buffer[4096];
  for (ssize_t n; (n = read(fds[0], buffer, sizeof buffer)) > 0;) result.output.append(buffer, n);
  close(fds[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return result;
}

KeyringSession::KeyringSession() {
  char pattern[] = "/tmp/brindlet-keyring-XXXXXX";
  if (!mkdtemp(pattern)) throw std::runtime_error("mkdtemp failed");
  home_ = pattern;
  for (const char* dir : {"data", "config", "cache", "run"})
    fs::create_directory(home_ + "/" + dir);
  chmod((home_ + "/run").c_str(), 0700);
  setenv("HOME", home_.c_str(), 1);
  setenv("XDG_DATA_HOME", (home_ + "/data").c_str(), 1);
  setenv("XDG_CONFIG_HOME", (home_ + "/config").c_str(), 1);
  setenv("XDG_CACHE_HOME", (home_ + "/cache").c_str(), 1);
  setenv("XDG_RUNTIME_DIR", (home_ + "/run").c_str(), 1);
  unsetenv("DISPLAY");  // no unlock prompts
  unsetenv("DBUS_SESSION_BUS_ADDRESS");

  // The keyring reads its (empty) password from standard input and unlocks the login
  // collection with it, creating it the first time.
  const std::string address = home_ + "/bus-address";
  const std::string script = "echo \"$DBUS_SESSION_BUS_ADDRESS\" > '" + address + ".new' && mv '" +
                             address + ".new' '" + address +
                             "' && echo | gnome-keyring-daemon --foreground --unlock "
                             "--components=secrets >/dev/null";
  pid_ = spawn({"dbus-run-session", "--", "sh", "-c", script}, -1, true);

  auto deadline = std::chrono::steady_clock::now() + 15s;
  while (!fs::exists(address) || !secretsNameOwned()) {
    if (!fs::exists(address)) {
      if (std::chrono::steady_clock::now() > deadline) throw std::runtime_error("no session bus");
    } else {
      std::ifstream in(address);
      std::string line;
      std::getline(in, line);
      setenv("DBUS_SESSION_BUS_ADDRESS", line.c_str(), 1);
      if (std::chrono::steady_clock::now() > deadline) throw std::runtime_error("no keyring");
    }
    std::this_thread::sleep_for(50ms);
  }
}

KeyringSession::~KeyringSession() {
  if (pid_ > 0) {
    kill(-pid_, SIGTERM);
    int status = 0;
    waitpid(pid_, &status, 0);
    kill(-pid_, SIGKILL);  // anything of the group that ignored the request
  }
  std::error_code ignored;
  fs::remove_all(home_, ignored);
}

}  // namespace brindlet::platform
