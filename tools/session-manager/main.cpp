// session-manager: a desktop's session manager as far as its clients can tell, for tests that
// log an app out. Clients find it through SESSION_MANAGER; it takes only local connections.
//
//   session-manager
//
// Prints "SESSION_MANAGER=<network ids>" once listening, then one line per event (see
// XsmpServer.h). Commands, one per input line: "die" sends Die to every registered client,
// "save" a global SaveYourself for a shutdown without interaction. End of input, SIGINT or
// SIGTERM stop it and remove its socket.

#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <exception>
#include <string>
#include <vector>

#include "XsmpServer.h"

namespace {

using brindlet::tools::XsmpServer;

volatile sig_atomic_t stopping = 0;

void stop(int) {
  stopping = 1;
}

void printLine(const std::string& line) {
  std::printf("%s\n", line.c_str());
  std::fflush(stdout);
}

void installSignals() {
  // A client gone while it is being written to shows as a failed write, not as this signal.
  ::signal(SIGPIPE, SIG_IGN);
  struct sigaction action {};
  action.sa_handler = stop;  // no SA_RESTART: poll returns, and the loop ends
  ::sigaction(SIGINT, &action, nullptr);
  ::sigaction(SIGTERM, &action, nullptr);
}

void run(XsmpServer& server, const std::string& command) {
  if (command == "die") {
    server.die();
  } else if (command == "save") {
    server.save();
  } else if (!command.empty()) {
    std::fprintf(stderr, "unknown command: %s\n", command.c_str());
  }
}

// Runs the complete lines read so far; false at the end of input.
bool readCommands(XsmpServer& server, std::string& pending) {
  char buffer[4096];
  const ssize_t got = ::read(STDIN_FILENO, buffer, sizeof buffer);
  if (got < 0) return errno == EINTR || errno == EAGAIN;
  if (got == 0) return false;
  pending.append(buffer, std::size_t(got));
  for (auto end = pending.find('\n'); end != std::string::npos; end = pending.find('\n')) {
    run(server, pending.substr(0, end));
    pending.erase(0, end + 1);
  }
  return true;
}

void serve(XsmpServer& server) {
  std::string pending;
  while (!stopping) {
    std::vector<pollfd> fds{{STDIN_FILENO, POLLIN, 0}};
    for (int fd : server.descriptors()) fds.push_back({fd, POLLIN, 0});
    if (::poll(fds.data(), fds.size(), -1) < 0) continue;
    if (fds[0].revents != 0 && !readCommands(server, pending)) return;
    for (std::size_t i = 1; i < fds.size(); ++i)
      if (fds[i].revents != 0) server.readable(fds[i].fd);
  }
}

}  // namespace

int main() {
  try {
    installSignals();
    XsmpServer server(printLine);
    printLine("SESSION_MANAGER=" + server.networkIds());
    serve(server);
    return 0;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "session-manager: %s\n", e.what());
    return 1;
  }
}
