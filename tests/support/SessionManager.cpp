#include "support/SessionManager.h"

#include <stdexcept>

namespace brindlet::testsupport {
namespace {

using namespace std::chrono_literals;

constexpr std::string_view kListening = "SESSION_MANAGER=";
constexpr std::string_view kRegistered = "registered ";

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
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (output().find(text, mark_) == std::string::npos) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    // Reads what the program prints meanwhile; it returns early only when the program ends.
    if (process_->waitExit(20ms)) return output().find(text, mark_) != std::string::npos;
  }
  return true;
}

std::string SessionManager::firstClient(std::chrono::milliseconds timeout) {
  if (output().find(kRegistered) == std::string::npos && !waitFor(kRegistered, timeout)) return {};
  const auto at = output().find(kRegistered) + kRegistered.size();
  const auto end = output().find('\n', at);
  if (end == std::string::npos) return {};
  return output().substr(at, end - at);
}

}  // namespace brindlet::testsupport
