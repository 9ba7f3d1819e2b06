#include "support/SessionManager.h"

#include <stdexcept>

namespace brindlet::testsupport {
namespace {

using namespace std::chrono_literals;

constexpr std::string_view kListening = "SESSION_MANAGER=";
// Each event is a line of its own, after the first line's network ids.
constexpr std::string_view kRegistered = "\nregistered ";

// Reads what the program prints until `done` holds; false when the time runs out or the program
// has ended first.
template <class Done>
bool readUntil(ChildProcess& process, Done done, std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!done()) {
    if (std::chrono::steady_clock::now() >= deadline || process.waitExit(20ms)) return done();
  }
  return true;
}

}  // namespace

SessionManager::SessionManager(const std::string& program)
    : process_(std::make_unique<ChildProcess>(std::vector<std::string>{program})) {
  if (!process_->waitFor("\n", 10s) || output().rfind(kListening, 0) != 0)
    throw std::runtime_error("session-manager did not start: " + output());
  networkIds_ = output().substr(kListening.size(), output().find('\n') - kListening.size());
  mark_ = output().size();
}

std::vector<std::string> SessionManager::environment() const {
  return {std::string(kListening) + networkIds_, "ICEAUTHORITY=" + dir_.file("iceauthority")};
}

void SessionManager::die() {
  command("die\n");
}

void SessionManager::save() {
  command("save\n");
}

void SessionManager::command(std::string_view line) {
  mark_ = output().size();
  process_->write(line);
}

bool SessionManager::waitFor(std::string_view text, std::chrono::milliseconds timeout) {
  return readUntil(
      *process_, [&] { return output().find(text, mark_) != std::string::npos; }, timeout);
}

std::vector<std::string> SessionManager::registered(std::size_t count,
                                                    std::chrono::milliseconds timeout) {
  const auto ids = [&] {
    std::vector<std::string> found;
    for (auto at = output().find(kRegistered); at != std::string::npos && found.size() < count;
         at = output().find(kRegistered, at + 1)) {
      const auto start = at + kRegistered.size();
      const auto end = output().find('\n', start);
      if (end == std::string::npos) break;
      found.push_back(output().substr(start, end - start));
    }
    return found;
  };
  readUntil(
      *process_, [&] { return ids().size() >= count; }, timeout);
  return ids();
}

}  // namespace brindlet::testsupport
