#include "app/linux/xdg/XdgAutostartItem.h"

#include <map>
#include <sstream>
#include <system_error>
#include <utility>
#include <vector>

#include "design/DeckDesign.h"
#include "runtime/Blocking.h"
#include "runtime/Files.h"

namespace brindlet::platform {
namespace {

namespace fs = std::filesystem;

// An entry is a few hundred bytes; a larger file is not one this app wrote.
constexpr std::size_t kEntryLimit = 1 << 20;

std::string describe(const fs::filesystem_error& error) {
  std::string text = error.code().message();
  if (!error.path1().empty()) text += ": " + error.path1().string();
  return text;
}

// The keys of the [Desktop Entry] group, with string escapes ("\s", "\n", "\t", "\r", "\\")
// undone as GLib undoes them: another escape is kept as it is, a final backslash dropped.
std::map<std::string, std::string> entryKeys(std::string_view text) {
  std::map<std::string, std::string> keys;
  std::istringstream lines{std::string(text)};
  std::string line;
  bool inGroup = false;
  while (std::getline(lines, line)) {
    if (line.empty() || line[0] == '#') continue;
    if (line[0] == '[') {
      inGroup = line.rfind("[Desktop Entry]", 0) == 0;
      continue;
    }
    const auto equals = line.find('=');
    if (!inGroup || equals == std::string::npos) continue;
    auto trim = [](std::string s) {
      const auto first = s.find_first_not_of(" \t");
      const auto last = s.find_last_not_of(" \t");
      return first == std::string::npos ? std::string() : s.substr(first, last - first + 1);
    };
    std::string value;
    const std::string raw = trim(line.substr(equals + 1));
    for (std::size_t i = 0; i < raw.size(); ++i) {
      if (raw[i] != '\\') {
        value += raw[i];
        continue;
      }
      if (i + 1 == raw.size()) break;
      const char next = raw[++i];
      if (next == 's') {
        value += ' ';
      } else if (next == 'n') {
        value += '\n';
      } else if (next == 't') {
        value += '\t';
      } else if (next == 'r') {
        value += '\r';
      } else {
        if (next != '\\') value += '\\';
        value += next;
      }
    }
    keys.emplace(trim(line.substr(0, equals)), std::move(value));
  }
  return keys;
}

}  // namespace

std::string execArgument(std::string_view path) {
  // The quoting of the Exec rules, then the escaping of any string value in the file.
  std::string quoted = "\"";
  for (const char c : path) {
    if (c == '"' || c == '`' || c == '$' || c == '\\') quoted += '\\';
    quoted += c;
    if (c == '%') quoted += '%';
  }
  quoted += '"';
  std::string escaped;
  for (const char c : quoted) {
    switch (c) {
      case '\\':
        escaped += "\\\\";
        break;
      case '\n':
        escaped += "\\n";
        break;
      case '\t':
        escaped += "\\t";
        break;
      case '\r':
        escaped += "\\r";
        break;
      default:
        escaped += c;
    }
  }
  return escaped;
}

std::optional<std::vector<std::string>> execArguments(std::string_view exec) {
  // Field codes are expanded before the words are split: "%%" stands for one "%", and any other
  // "%" is a code the desktop expands or drops (or a stray one it refuses), so the words here
  // would not be what it runs.
  std::string text;
  for (std::size_t i = 0; i < exec.size(); ++i) {
    if (exec[i] == '%' && (i + 1 == exec.size() || exec[++i] != '%')) return std::nullopt;
    text += exec[i];
  }
  enum class Quote { none, doubleQuotes, singleQuotes };
  std::vector<std::string> arguments;
  std::string word;
  bool inWord = false;
  Quote quote = Quote::none;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (quote == Quote::singleQuotes) {
      if (c == '\'') {
        quote = Quote::none;
      } else {
        word += c;
      }
    } else if (quote == Quote::doubleQuotes) {
      // Within double quotes a backslash escapes only these; before anything else it stays.
      const bool escape = c == '\\' && i + 1 < text.size() &&
                          std::string_view("\"`$\\").find(text[i + 1]) != std::string_view::npos;
      if (c == '"') {
        quote = Quote::none;
      } else {
        word += escape ? text[++i] : c;
      }
    } else if (c == ' ' || c == '\t' || c == '\n') {
      if (inWord) arguments.push_back(std::exchange(word, {}));
      inWord = false;
    } else if (c == '#' && !inWord) {
      break;  // a comment to the end
    } else {
      inWord = true;
      if (c == '"') {
        quote = Quote::doubleQuotes;
      } else if (c == '\'') {
        quote = Quote::singleQuotes;
      } else if (c == '\\') {
        if (++i == text.size()) return std::nullopt;
        word += text[i];
      } else {
        word += c;
      }
    }
  }
  if (quote != Quote::none) return std::nullopt;
  if (inWord) arguments.push_back(std::move(word));
  return arguments;
}

std::string autostartEntry(const fs::path& executable) {
  // GLib looks for the program before it undoes "%%", so a path with a "%" would never be
  // found there: such a path goes to env as its argument instead.
  const std::string path = executable.string();
  const std::string launcher = path.find('%') == std::string::npos ? "" : "env ";
  return "[Desktop Entry]\nType=Application\nName=" + std::string(design::DeckDesign::productName) +
         "\nExec=" + launcher + execArgument(path) + "\nX-GNOME-Autostart-enabled=true\n";
}

bool startsAtLogin(std::string_view entry, const fs::path& executable) {
  const auto keys = entryKeys(entry);
  auto is = [&](const char* key, const char* value) {
    const auto found = keys.find(key);
    return found != keys.end() && found->second == value;
  };
  if (is("Hidden", "true") || is("X-GNOME-Autostart-enabled", "false")) return false;
  const auto exec = keys.find("Exec");
  if (exec == keys.end()) return false;
  const auto arguments = execArguments(exec->second);
  if (!arguments || arguments->empty()) return false;
  std::size_t first = 0;
  if (arguments->front() == "env" || arguments->front() == "/usr/bin/env") first = 1;
  if (first >= arguments->size()) return false;
  const std::string& program = (*arguments)[first];
  std::error_code error;
  return program == executable.string() || fs::equivalent(program, executable, error);
}

XdgAutostartItem::XdgAutostartItem()
    : XdgAutostartItem(
          runtime::userFolder(runtime::UserFolder::config) / "autostart" / "brindlet.desktop",
          fs::read_symlink("/proc/self/exe")) {}

XdgAutostartItem::XdgAutostartItem(fs::path entry, fs::path executable)
    : entry_(std::move(entry)), executable_(std::move(executable)) {}

boost::asio::awaitable<bool> XdgAutostartItem::isEnabled() {
  auto read = [entry = entry_, executable = executable_] {
    try {
      return startsAtLogin(runtime::readFile(entry, kEntryLimit), executable);
    } catch (const runtime::FileError&) {
      return false;
    }
  };
  const bool enabled = co_await runtime::offloadBlocking(std::move(read));
  co_return enabled;
}

boost::asio::awaitable<void> XdgAutostartItem::setEnabled(bool enabled) {
  auto write = [entry = entry_, executable = executable_, enabled]() -> std::optional<std::string> {
    runtime::mayBlock("writing the autostart entry");
    try {
      if (enabled) {
        fs::create_directories(entry.parent_path());
        runtime::writeFileAtomically(entry, autostartEntry(executable), 0644);
      } else {
        fs::remove(entry);
      }
      return std::nullopt;
    } catch (const fs::filesystem_error& error) {
      return describe(error);
    }
  };
  const auto failure = co_await runtime::offloadBlocking(std::move(write));
  if (failure) throw app::LoginItemError(*failure);
}

}  // namespace brindlet::platform
