#include "app/linux/xdg/XdgAutostartItem.h"

#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <iterator>
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
// undone as GLib undoes them: another escape is kept as it is, a final backslash dropped. As in
// GLib, a line may end in CR LF, and of a key given twice the last one counts.
std::map<std::string, std::string> entryKeys(std::string_view text) {
  std::map<std::string, std::string> keys;
  std::istringstream lines{std::string(text)};
  std::string line;
  bool inGroup = false;
  while (std::getline(lines, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
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
    keys.insert_or_assign(trim(line.substr(0, equals)), std::move(value));
  }
  return keys;
}

// A boolean value as GLib reads one: only "true" and "1" are true.
bool isTrue(const std::map<std::string, std::string>& keys, const char* key) {
  const auto found = keys.find(key);
  return found != keys.end() && (found->second == "true" || found->second == "1");
}

// Whether GLib finds `program` as it finds a TryExec or Exec program: a name with a "/" as an
// executable file, other names on $PATH.
bool programFound(const std::string& program) {
  auto executable = [](const fs::path& file) {
    std::error_code error;
    return fs::is_regular_file(file, error) && ::access(file.c_str(), X_OK) == 0;
  };
  if (program.empty()) return false;
  if (program.find('/') != std::string::npos) return executable(program);
  const char* path = std::getenv("PATH");
  std::istringstream folders(path ? path : "/usr/bin:/bin");
  for (std::string folder; std::getline(folders, folder, ':');)
    if (!folder.empty() && executable(fs::path(folder) / program)) return true;
  return false;
}

bool isEnv(const std::string& word) {
  return word == "env" || word == "/usr/bin/env" || word == "/bin/env";
}

// Where the program begins in words that start with env: after its options and the variables it
// sets or unsets. None where env would not run one program named there (an option this reading
// does not know, such as -S, which splits the words anew).
std::optional<std::size_t> programAfterEnv(const std::vector<std::string>& words) {
  bool options = true;
  for (std::size_t i = 1; i < words.size(); ++i) {
    const std::string& word = words[i];
    if (options && word == "--") {
      options = false;
    } else if (options &&
               (word == "-u" || word == "--unset" || word == "-C" || word == "--chdir")) {
      ++i;
    } else if (options && word.size() > 1 && word[0] == '-') {
      static constexpr std::string_view plain[] = {
          "-i", "--ignore-environment", "-0", "--null", "-v", "--debug"};
      const bool known = std::find(std::begin(plain), std::end(plain), word) != std::end(plain) ||
                         word.starts_with("--unset=") || word.starts_with("--chdir=") ||
                         (word.starts_with("-u") || word.starts_with("-C"));
      if (!known) return std::nullopt;
    } else if (word == "-") {
      continue;  // as -i
    } else if (word.find('=') == std::string::npos) {
      return i;
    }
  }
  return std::nullopt;
}

// The Exec value's words as the quoting splits them, with "%" an ordinary character.
std::optional<std::vector<std::string>> splitExec(std::string_view text) {
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
  return splitExec(text);
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
  auto value = [&](const char* key) {
    const auto found = keys.find(key);
    return found == keys.end() ? std::optional<std::string>() : found->second;
  };
  // What GLib refuses to load, and what the autostart rules skip.
  if (value("Type") != "Application" || isTrue(keys, "Hidden")) return false;
  if (value("X-GNOME-Autostart-enabled") && !isTrue(keys, "X-GNOME-Autostart-enabled"))
    return false;
  auto isExecutable = [&](const std::string& program) {
    std::error_code error;
    return program == executable.string() || fs::equivalent(program, executable, error);
  };
  if (const auto tryExec = value("TryExec");
      tryExec && !tryExec->empty() && !isExecutable(*tryExec) && !programFound(*tryExec))
    return false;
  const auto exec = value("Exec");
  if (!exec) return false;
  // GLib looks for the first word's program before it undoes "%%".
  const auto raw = splitExec(*exec);
  const auto arguments = execArguments(*exec);
  if (!raw || raw->empty() || !arguments || arguments->empty()) return false;
  if (!isEnv(raw->front())) return isExecutable(arguments->front()) && isExecutable(raw->front());
  const auto program = programAfterEnv(*arguments);
  return program && isExecutable((*arguments)[*program]);
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
