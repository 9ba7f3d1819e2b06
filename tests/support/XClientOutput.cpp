#include "support/XClientOutput.h"

#include <stdexcept>
#include <thread>

namespace brindlet::testsupport {
namespace {

// The text after `label` in a block, up to the first of `ends`; empty when either is missing.
std::string field(const std::string& block, const std::string& label, const char* ends) {
  const auto at = block.find(label);
  if (at == std::string::npos) return {};
  const auto from = at + label.size();
  const auto to = block.find_first_of(ends, from);
  return to == std::string::npos ? std::string() : block.substr(from, to - from);
}

// The output cut into blocks, each from one line starting with `start` to the next.
std::vector<std::string> blocks(const std::string& output, const std::string& start) {
  std::vector<std::string> found;
  for (auto at = output.find(start); at != std::string::npos;) {
    auto next = output.find("\n" + start, at);
    found.push_back(output.substr(at, next == std::string::npos ? next : next + 1 - at));
    at = next == std::string::npos ? next : next + 1;
  }
  return found;
}

}  // namespace

std::vector<XevKey> xevKeys(const std::string& output) {
  std::vector<XevKey> keys;
  for (const auto& block : blocks(output, "Key")) {
    const std::string state = field(block, "state 0x", ",");
    const std::string keysym = field(block, "(keysym 0x", ",");
    const std::string name = field(block, "(keysym 0x" + keysym + ", ", ")");
    if (state.empty() || keysym.empty() || name.empty()) continue;
    keys.push_back({block.rfind("KeyPress", 0) == 0,
                    static_cast<unsigned>(std::stoul(state, nullptr, 16)),
                    static_cast<unsigned>(std::stoul(keysym, nullptr, 16)), name});
  }
  return keys;
}

std::string pressName(const XevKey& key) {
  return (key.press ? "+" : "-") + key.name;
}

std::vector<std::string> pressNames(const std::vector<XevKey>& keys) {
  std::vector<std::string> names;
  for (const auto& key : keys) names.push_back(pressName(key));
  return names;
}

unsigned codePoint(const XevKey& key) {
  return key.keysym >= 0x1000000 ? key.keysym - 0x1000000 : key.keysym;
}

std::unique_ptr<ChildProcess> startXev(const XServer& server) {
  auto xev = server.start(
      {"xev", "-geometry", "600x400+0+0", "-event", "keyboard", "-event", "structure"});
  if (!xev->waitFor("MapNotify", std::chrono::seconds(10)))
    throw std::runtime_error("xev did not map its window: " + xev->output());
  return xev;
}

std::unique_ptr<ChildProcess> startPointerWatcher(const XServer& server) {
  auto watcher = server.start({"xinput", "test-xi2", "--root"});
  if (!watcher->waitFor("XTEST keyboard", std::chrono::seconds(10)))
    throw std::runtime_error("xinput did not list the devices: " + watcher->output());
  // It selects the events right after listing the devices.
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  return watcher;
}

std::vector<std::string> xinputPointerEvents(const std::string& output) {
  std::vector<std::string> seen;
  for (const auto& block : blocks(output, "EVENT type")) {
    if (field(block, "device: ", " ") != "2") continue;
    const std::string type = field(block, "(", ")");
    const std::string detail = field(block, "detail: ", "\n");
    if (type.empty() || detail.empty()) continue;
    if (type == "Motion" && (seen.empty() || seen.back() != "Motion")) seen.push_back(type);
    if (type == "RawButtonPress") seen.push_back("+" + detail);
    if (type == "RawButtonRelease") seen.push_back("-" + detail);
  }
  return seen;
}

}  // namespace brindlet::testsupport
