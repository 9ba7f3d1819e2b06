#include "deck/SystemReaders.h"

#include <pwd.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <charconv>
#include <chrono>
#include <cstdlib>

#include "runtime/Blocking.h"
#include "runtime/Files.h"
#include "runtime/Unicode.h"

namespace brindlet::deck {
namespace {

using Element = AccessibilityTree::Element;
using Role = AccessibilityTree::Role;

constexpr std::size_t tailBytes = 65536;
constexpr int searchDepth = 3;
// Reads of one refresh come within milliseconds of each other; the next refresh is 0.25 s on.
constexpr auto scanLifetime = std::chrono::milliseconds(100);

// Containers that group what a user sees as one level: menus, panels and fillers.
bool isGroup(Role role) {
  return role == Role::menu || role == Role::panel || role == Role::filler;
}

std::string label(AccessibilityTree& tree, const Element& element) {
  auto name = tree.name(element);
  return name.empty() ? tree.description(element) : name;
}

Element findChild(AccessibilityTree& tree, const Element& element, std::string_view title,
                  int depth) {
  if (depth < 1) return {};
  const auto children = tree.children(element);
  for (const auto& child : children) {
    if (label(tree, child) == title) return child;
  }
  for (const auto& child : children) {
    if (!isGroup(tree.role(child))) continue;
    if (auto found = findChild(tree, child, title, depth - 1)) return found;
  }
  return {};
}

// A bar (menu bar, tool bar) among the children, else below panels and fillers.
Element findRole(AccessibilityTree& tree, const Element& element, Role wanted, int depth) {
  if (depth < 1) return {};
  const auto children = tree.children(element);
  for (const auto& child : children) {
    if (tree.role(child) == wanted) return child;
  }
  for (const auto& child : children) {
    const auto role = tree.role(child);
    if (role != Role::panel && role != Role::filler) continue;
    if (auto found = findRole(tree, child, wanted, depth - 1)) return found;
  }
  return {};
}

// An app's menu bar is in its active window, else in the first window that has one.
Element menuBar(AccessibilityTree& tree, const Element& element) {
  if (tree.role(element) != Role::application) {
    return findRole(tree, element, Role::menuBar, searchDepth);
  }
  const auto all = tree.windows(element);
  for (const auto& window : all) {
    if (!tree.isActive(window)) continue;
    if (auto bar = findRole(tree, window, Role::menuBar, searchDepth)) return bar;
  }
  for (const auto& window : all) {
    if (auto bar = findRole(tree, window, Role::menuBar, searchDepth)) return bar;
  }
  return {};
}

Element windowAt(AccessibilityTree& tree, const Element& element, std::string_view piece) {
  // "window[N]": the text between the bracket and the last character is N.
  if (piece.size() < 8 || piece.back() != ']') return {};
  auto digits = piece.substr(7, piece.size() - 8);
  if (!digits.empty() && digits.front() == '+') digits.remove_prefix(1);
  long index = 0;
  const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), index);
  if (error != std::errc() || end != digits.data() + digits.size() || index < 0) return {};
  const auto all = tree.windows(element);
  if (static_cast<std::size_t>(index) >= all.size()) return {};
  return all[static_cast<std::size_t>(index)];
}

Element step(AccessibilityTree& tree, const Element& element, std::string_view piece) {
  if (piece == "menubar") return menuBar(tree, element);
  if (piece == "toolbar") return findRole(tree, element, Role::toolBar, searchDepth);
  if (piece.starts_with("window[")) return windowAt(tree, element, piece);
  return findChild(tree, element, piece, searchDepth);
}

// Lines end at LF; a CR before the LF belongs to the line end.
std::vector<std::string> splitLines(std::string_view text) {
  std::vector<std::string> lines;
  while (!text.empty()) {
    const auto end = text.find('\n');
    auto line = text.substr(0, end);
    if (end != std::string_view::npos && line.ends_with('\r')) line.remove_suffix(1);
    if (!line.empty()) lines.emplace_back(line);
    if (end == std::string_view::npos) break;
    text.remove_prefix(end + 1);
  }
  return lines;
}

// The file's last tailBytes at most; none when it is no regular file or cannot be read.
std::optional<std::string> readTail(const std::string& path) {
  std::string bytes;
  try {
    // One byte more than kept tells whether the file was cut.
    bytes = runtime::readFile(path, tailBytes + 1, runtime::BeyondLimit::keepEnd);
  } catch (const runtime::FileError&) {
    return std::nullopt;
  }
  if (bytes.size() <= tailBytes) return bytes;
  // The cut may fall inside a character: drop the continuation bytes before the first whole one.
  std::size_t skip = 1;
  while (skip < std::min<std::size_t>(bytes.size(), 4) &&
         (static_cast<unsigned char>(bytes[skip]) & 0xC0) == 0x80) {
    ++skip;
  }
  return bytes.substr(skip);
}

}  // namespace

SystemReaders::SystemReaders(AccessibilityTree& tree, runtime::ProcessTable& processes,
                             runtime::Clock& clock)
    : tree_(tree), processes_(processes), clock_(clock) {}

boost::asio::awaitable<ReaderValue> SystemReaders::read(profiles::Reader reader,
                                                        std::optional<FrontApp> app) {
  ReaderValue result;
  switch (reader.reader) {
    case profiles::Reader::Kind::axValue: {
      if (!app || !reader.path) break;
      const int pid = app->pid;
      const std::string path = *reader.path;
      std::optional<std::string> value;
      std::function<void()> work = [&] { value = valueAt(tree_, pid, path); };
      co_await tree_.visit(std::move(work));
      result.value = std::move(value);
      break;
    }
    case profiles::Reader::Kind::logTail: {
      if (!reader.path) break;
      const std::string path = expandHome(*reader.path);
      const std::int64_t count = reader.lines.value_or(6);
      auto tail = [path, count] { return tailLines(path, count); };
      result.lines = co_await runtime::offloadBlocking(std::move(tail));
      if (result.lines && !result.lines->empty()) result.value = result.lines->back();
      break;
    }
    case profiles::Reader::Kind::process: {
      if (!reader.name) break;
      const std::string name = *reader.name;
      if (co_await isRunning(name)) result.value = name;
      break;
    }
    case profiles::Reader::Kind::meetingTimer:
      break;
  }
  co_return result;
}

std::optional<std::string> SystemReaders::valueAt(AccessibilityTree& tree, int pid,
                                                  std::string_view path) {
  auto element = tree.application(pid);
  if (!element) return std::nullopt;
  bool wantsValue = false;
  while (!path.empty()) {
    const auto slash = path.find('/');
    const auto piece = path.substr(0, slash);
    path.remove_prefix(slash == std::string_view::npos ? path.size() : slash + 1);
    if (piece.empty()) continue;
    if (piece == "value") {
      wantsValue = true;
      continue;
    }
    element = step(tree, element, piece);
    if (!element) return std::nullopt;
  }
  if (wantsValue) {
    if (auto value = tree.value(element)) return value;
  }
  return label(tree, element);
}

std::optional<std::vector<std::string>> SystemReaders::tailLines(const std::string& path,
                                                                 std::int64_t count) {
  runtime::mayBlock("reading a log's tail");
  const auto text = readTail(path);
  if (!text) return std::nullopt;
  if (!runtime::isValidUTF8(*text) || count <= 0) return std::vector<std::string>{};
  auto lines = splitLines(*text);
  if (lines.size() > static_cast<std::size_t>(count)) {
    lines.erase(lines.begin(), lines.end() - count);
  }
  return lines;
}

std::string SystemReaders::expandHome(const std::string& path) {
  if (!path.starts_with("~/")) return path;
  std::string home;
  if (const char* env = std::getenv("HOME"); env != nullptr && *env != '\0') {
    home = env;
  } else if (const passwd* user = ::getpwuid(::getuid()); user != nullptr) {
    home = user->pw_dir;
  } else {
    return path;
  }
  return home + path.substr(1);
}

boost::asio::awaitable<bool> SystemReaders::isRunning(const std::string& name) {
  const auto now = clock_.now();
  if (!scanned_ || now - *scanned_ >= scanLifetime) {
    auto& processes = processes_;
    auto scan = [&processes] { return processes.executables(); };
    running_ = co_await runtime::offloadBlocking(std::move(scan));
    scanned_ = now;
    appNames_.reset();
  }
  if (std::ranges::find(running_, name) != running_.end()) co_return true;
  if (!appNames_) {
    // An app is also known by the name it gives itself, once it shows a window.
    std::vector<std::string> names;
    std::function<void()> work = [&] {
      for (const auto& app : tree_.applications()) {
        if (!tree_.windows(app).empty()) names.push_back(tree_.name(app));
      }
    };
    co_await tree_.visit(std::move(work));
    appNames_ = std::move(names);
  }
  co_return std::ranges::find(*appNames_, name) != appNames_->end();
}

}  // namespace brindlet::deck
