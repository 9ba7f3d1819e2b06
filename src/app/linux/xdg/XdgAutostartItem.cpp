#include "app/linux/xdg/XdgAutostartItem.h"

#include <unistd.h>

#include <gio/gdesktopappinfo.h>
#include <glib.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <memory>
#include <optional>
#include <regex>
#include <set>
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

struct GFreeDeleter {
  void operator()(void* value) const { g_free(value); }
};
struct WordsDeleter {
  void operator()(char** words) const { g_strfreev(words); }
};
struct ObjectDeleter {
  void operator()(void* object) const { g_object_unref(object); }
};
struct KeyFileDeleter {
  void operator()(GKeyFile* keys) const { g_key_file_unref(keys); }
};
using GText = std::unique_ptr<char, GFreeDeleter>;
using GWords = std::unique_ptr<char*, WordsDeleter>;
using Words = std::vector<std::string>;

// Where a program is looked for when PATH is unset, as execvp looks.
constexpr const char* kDefaultPath = "/bin:/usr/bin";
// How deep env and shells may nest in one another before the reading gives up.
constexpr int kNestingLimit = 8;

// The entry as GLib loads it: none when GLib would not start anything from it (text that is not a
// key file, no [Desktop Entry] first, a Type other than Application, a TryExec or Exec program
// it does not find).
std::unique_ptr<GDesktopAppInfo, ObjectDeleter> loadEntry(std::string_view text) {
  std::unique_ptr<GKeyFile, KeyFileDeleter> keys(g_key_file_new());
  if (!g_key_file_load_from_data(keys.get(), text.data(), text.size(), G_KEY_FILE_NONE, nullptr))
    return nullptr;
  return std::unique_ptr<GDesktopAppInfo, ObjectDeleter>(
      g_desktop_app_info_new_from_keyfile(keys.get()));
}

bool names(const GWords& list, const std::string& desktop) {
  for (char** name = list.get(); name && *name; ++name)
    if (desktop == *name) return true;
  return false;
}

// Whether the entry is shown on the current desktops, walked as GLib walks them: the first of them
// that OnlyShowIn or NotShowIn names decides, and where none is named an OnlyShowIn hides it.
// GLib reads XDG_CURRENT_DESKTOP once for its process; this reads it as it is now.
bool shownOnCurrentDesktops(GDesktopAppInfo* info) {
  const GWords only(g_desktop_app_info_get_string_list(info, "OnlyShowIn", nullptr));
  const GWords not_(g_desktop_app_info_get_string_list(info, "NotShowIn", nullptr));
  const char* current = std::getenv("XDG_CURRENT_DESKTOP");
  std::istringstream desktops(current ? current : "");
  for (std::string desktop; std::getline(desktops, desktop, ':');) {
    if (names(only, desktop)) return true;
    if (names(not_, desktop)) return false;
  }
  return !only;
}

// Whether the autostart rules keep a loaded entry: not hidden, not switched off for GNOME, shown on
// this desktop.
bool autostartKeeps(GDesktopAppInfo* info) {
  static constexpr const char* enabled = "X-GNOME-Autostart-enabled";
  if (g_desktop_app_info_get_is_hidden(info)) return false;
  if (g_desktop_app_info_has_key(info, enabled) && !g_desktop_app_info_get_boolean(info, enabled))
    return false;
  return shownOnCurrentDesktops(info);
}

std::string shellQuoted(const char* text) {
  const GText quoted(g_shell_quote(text));
  return quoted.get();
}

// The Exec value with its field codes expanded as GLib expands them when it launches an entry with
// no files: "%%" is one "%", %c the name, %i the icon option, a "%" that ends the value stays,
// and every other code goes (%k as well: the text here has no file).
std::string expandFieldCodes(GDesktopAppInfo* info, std::string_view exec) {
  std::string expanded;
  for (std::size_t i = 0; i < exec.size(); ++i) {
    if (exec[i] != '%' || i + 1 == exec.size()) {
      expanded += exec[i];
      continue;
    }
    const char code = exec[++i];
    if (code == '%') {
      expanded += '%';
    } else if (code == 'c') {
      expanded += shellQuoted(g_app_info_get_name(G_APP_INFO(info)));
    } else if (code == 'i') {
      const GText icon(g_desktop_app_info_get_locale_string(info, "Icon"));
      if (icon) expanded += "--icon " + shellQuoted(icon.get());
    }
  }
  return expanded;
}

// The words of a command line split by the shell's quoting, as GLib splits an Exec value.
std::optional<Words> shellWords(const std::string& line) {
  char** raw = nullptr;
  if (!g_shell_parse_argv(line.c_str(), nullptr, &raw, nullptr)) return std::nullopt;
  const GWords words(raw);
  Words split;
  for (char** word = raw; *word; ++word) split.emplace_back(*word);
  return split;
}

// The program execvp runs for `name` with the search path `path`: a name with a "/" as it is,
// another the first executable file of that name in the path's folders.
std::optional<fs::path> findProgram(const std::string& name, const std::string& path) {
  auto executable = [](const fs::path& file) {
    std::error_code error;
    return fs::is_regular_file(file, error) && ::access(file.c_str(), X_OK) == 0;
  };
  if (name.empty()) return std::nullopt;
  if (name.find('/') != std::string::npos)
    return executable(name) ? std::optional<fs::path>(name) : std::nullopt;
  std::istringstream folders(path);
  for (std::string folder; std::getline(folders, folder, ':');) {
    if (!folder.empty() && executable(fs::path(folder) / name)) return fs::path(folder) / name;
  }
  return std::nullopt;
}

// Whether a process may make the folder its working folder.
bool canEnter(const std::string& folder) {
  std::error_code error;
  return fs::is_directory(folder, error) && ::access(folder.c_str(), X_OK) == 0;
}

// A shell's NAME=value word.
bool isAssignment(const std::string& word) {
  const auto equals = word.find('=');
  if (equals == 0 || equals == std::string::npos ||
      std::isdigit(static_cast<unsigned char>(word[0])))
    return false;
  return std::all_of(word.begin(), word.begin() + static_cast<std::ptrdiff_t>(equals), [](char c) {
    return c == '_' || std::isalnum(static_cast<unsigned char>(c));
  });
}

bool runs(const Words& words, std::size_t first, std::string path, const fs::path& executable,
          int depth);

// The words of an env -S value as env splits them, when they hold nothing but blanks and plain
// characters; none when env's own quoting, escapes or variables would change them.
std::optional<Words> splitString(const std::string& value) {
  if (value.find_first_of("\\'\"$#\n\v\f\r") != std::string::npos) return std::nullopt;
  Words split;
  std::istringstream words(value);
  for (std::string word; words >> word;) split.push_back(word);
  return split;
}

// Whether GNU env, run with `words` (env first), runs the executable: its options end at the
// first word that is not one, a "-" may follow them, then every word with a "=" is a variable it
// sets, and the next word is the program, looked for on the PATH env leaves it. The words of a
// -S value take its place and are read on as options. An option this reading does not know reads
// as not.
bool envRuns(Words words, std::string path, const fs::path& executable, int depth) {
  std::size_t i = 1;
  for (; i < words.size() && words[i].size() > 1 && words[i][0] == '-'; ++i) {
    const std::string word = words[i];
    std::optional<std::string> unset;
    std::optional<std::string> split;
    if (word == "--") {
      ++i;
      break;
    } else if (word == "-u" || word == "--unset") {
      if (++i == words.size()) return false;
      unset = words[i];
    } else if (word.starts_with("--unset=") || word.starts_with("-u")) {
      unset = word.substr(word[1] == 'u' ? 2 : 8);
    } else if (word == "-S" || word == "--split-string") {
      if (i + 1 == words.size()) return false;
      split = words[i + 1];
      words.erase(words.begin() + static_cast<std::ptrdiff_t>(i));
    } else if (word.starts_with("--split-string=") || word.starts_with("-S")) {
      split = word.substr(word[1] == 'S' ? 2 : 15);
    } else if (word == "-i" || word == "--ignore-environment") {
      unset = "PATH";
    } else if (word == "-C" || word == "--chdir") {
      ++i;
    } else if (word != "-0" && word != "--null" && word != "-v" && word != "--debug" &&
               !word.starts_with("--chdir=") && !word.starts_with("-C")) {
      return false;
    }
    if (split) {
      const auto splitWords = splitString(*split);
      if (!splitWords) return false;
      const auto at = words.erase(words.begin() + static_cast<std::ptrdiff_t>(i));
      words.insert(at, splitWords->begin(), splitWords->end());
      --i;
    }
    if (unset == "PATH") path = kDefaultPath;
  }
  if (i < words.size() && words[i] == "-") {  // as -i
    path = kDefaultPath;
    ++i;
  }
  for (; i < words.size() && words[i].find('=') != std::string::npos; ++i)
    if (words[i].starts_with("PATH=")) path = words[i].substr(5);
  return runs(words, i, path, executable, depth + 1);
}

// Whether the word is a whole number, perhaps signed, as nice takes its adjustment.
bool isInteger(std::string_view word) {
  if (word.starts_with('-') || word.starts_with('+')) word.remove_prefix(1);
  return !word.empty() && std::all_of(word.begin(), word.end(), [](char c) {
    return std::isdigit(static_cast<unsigned char>(c));
  });
}

// The value of the option at words[i] as getopt reads one that takes a value: the rest of the
// word after a short name ("-c3") or after "=" in a long one ("--class=3"), else the next word
// (i then on it). Its name is set to the word up to the value.
std::optional<std::string> optionValue(const Words& words, std::size_t& i, std::string& name) {
  const std::string& word = words[i];
  const auto end = word.starts_with("--") ? word.find('=') : std::size_t{2};
  name = word.substr(0, end);
  if (end < word.size()) return word.substr(end + (word[1] == '-' ? 1 : 0));
  if (++i == words.size()) return std::nullopt;
  return words[i];
}

// Where the program stands after a command's options, as getopt reads them: they end at the
// first word that is not one, or after a "--". None when `takes` does not take one of them; it
// may move i on to the option's value.
template <typename Takes>
std::optional<std::size_t> afterOptions(const Words& words, Takes takes) {
  std::size_t i = 1;
  for (; i < words.size() && words[i].size() > 1 && words[i][0] == '-'; ++i) {
    if (words[i] == "--") return i + 1;
    if (!takes(words, i)) return std::nullopt;
  }
  return i;
}

// GNU nice's options: -n N, -nN, --adjustment=N, or the older -N and --N.
bool niceTakes(const Words& words, std::size_t& i) {
  if (isInteger(std::string_view(words[i]).substr(1))) return true;
  std::string name;
  const auto value = optionValue(words, i, name);
  return value && (name == "-n" || name == "--adjustment") && isInteger(*value);
}

// ionice's options: -t, and the classes and levels that anyone may set (best-effort at levels 0
// to 7, idle, none). The realtime class, which a user without the privilege cannot set, makes
// ionice give up without running the program.
bool ioniceTakes(const Words& words, std::size_t& i) {
  static const std::set<std::string> classes{"0", "2", "3", "none", "best-effort", "idle"};
  static const std::set<std::string> levels{"0", "1", "2", "3", "4", "5", "6", "7"};
  if (words[i] == "-t" || words[i] == "--ignore") return true;
  std::string name;
  const auto value = optionValue(words, i, name);
  const bool level = name == "-n" || name == "--classdata";
  return value && (level || name == "-c" || name == "--class") &&
         (level ? levels : classes).contains(*value);
}

// setsid's options: -f and -w. -c, which takes the terminal the login session does not give,
// reads as not.
bool setsidTakes(const Words& words, std::size_t& i) {
  const std::string& word = words[i];
  return word == "-f" || word == "-w" || word == "--fork" || word == "--wait";
}

// nohup takes no option.
bool nohupTakes(const Words&, std::size_t&) {
  return false;
}

// Where the program stands in the words of a command that runs its arguments as a program with
// them; none for any other command, or an option this reading does not know.
std::optional<std::size_t> wrappedProgram(const std::string& name, const Words& words) {
  if (name == "nice") return afterOptions(words, niceTakes);
  if (name == "nohup") return afterOptions(words, nohupTakes);
  if (name == "ionice") return afterOptions(words, ioniceTakes);
  if (name == "setsid") return afterOptions(words, setsidTakes);
  return std::nullopt;
}

// A word of a shell script with its quoting undone.
struct ScriptWord {
  std::string text;
  bool expands = false;  // the shell would still change it: an expansion, a pattern, braces
  bool home = false;     // an unquoted "~" starts it, alone or before a "/"
};

// A simple command of a shell script and the operator before it: "" for the first, ";" for a
// ";" or a new line, "&&" or "||". `followed` is false when an operator this reading does not
// follow ends it (a pipe, "&", a redirection, a parenthesis).
struct ScriptCommand {
  std::vector<ScriptWord> words;
  std::string after;
  bool followed = true;
};

// Reads the quoted part that opens at script[i] into the word, i then on its closing quote; false
// when the script leaves it open. In double quotes a backslash escapes only "$", "`", '"', "\"
// and a new line, and "$" and "`" still expand.
bool readQuoted(std::string_view script, std::size_t& i, ScriptWord& word) {
  const char quote = script[i];
  for (++i; i < script.size() && script[i] != quote; ++i) {
    if (quote == '\'') {
      word.text += script[i];
      continue;
    }
    if (script[i] == '$' || script[i] == '`') word.expands = true;
    if (script[i] == '\\' && i + 1 < script.size() &&
        std::string_view("$`\"\\\n").find(script[i + 1]) != std::string_view::npos) {
      if (script[++i] == '\n') continue;
    }
    word.text += script[i];
  }
  return i < script.size();
}

// Adds the unquoted character at script[i] to the word, marking what the shell would expand.
void addPlain(std::string_view script, std::size_t i, bool starts, ScriptWord& word) {
  const char c = script[i];
  if (c == '~') {
    const char next = i + 1 < script.size() ? script[i + 1] : ' ';
    const bool alone = std::string_view("/ \t\n;&|<>()").find(next) != std::string_view::npos;
    if (starts && alone) {
      word.home = true;
    } else {
      word.expands = true;
    }
  } else if (std::string_view("$`*?[{}").find(c) != std::string_view::npos ||
             (starts && c == '=')) {
    word.expands = true;
  }
  word.text += c;
}

// The simple commands of a shell's script up to the first operator this reading does not
// follow; none when the shell would not run it at all (an open quote, a missing command).
std::optional<std::vector<ScriptCommand>> scriptCommands(std::string_view script) {
  std::vector<ScriptCommand> commands(1);
  std::optional<ScriptWord> word;
  auto endWord = [&] {
    if (word) commands.back().words.push_back(std::move(*word));
    word.reset();
  };
  // Starts the next command; false when the operator has no command before it.
  auto next = [&](const char* after) {
    endWord();
    if (commands.back().words.empty()) return false;
    commands.push_back({{}, after});
    return true;
  };
  for (std::size_t i = 0; i < script.size(); ++i) {
    const char c = script[i];
    const std::string_view pair = script.substr(i, 2);
    if (c == ' ' || c == '\t') {
      endWord();
    } else if (c == '#' && !word) {
      i = std::min(script.find('\n', i), script.size()) - 1;
    } else if (pair == "\\\n") {
      ++i;
    } else if (c == '\n') {
      endWord();  // a new line after an operator, or with no command, only ends the line
      if (!commands.back().words.empty()) next(";");
    } else if (pair == "&&" || pair == "||") {
      if (!next(c == '&' ? "&&" : "||")) return std::nullopt;
      ++i;
    } else if (c == ';' && pair != ";;") {
      if (!next(";")) return std::nullopt;
    } else if (std::string_view(";&|<>()").find(c) != std::string_view::npos) {
      endWord();
      commands.back().followed = false;
      return commands;
    } else {
      const bool starts = !word;
      if (starts) word.emplace();
      if (c == '\'' || c == '"') {
        if (!readQuoted(script, i, *word)) return std::nullopt;
      } else if (c == '\\' && i + 1 < script.size()) {
        word->text += script[++i];
      } else {
        addPlain(script, i, starts, *word);
      }
    }
  }
  endWord();
  if (commands.back().words.empty()) {
    if (commands.back().after != ";") return std::nullopt;
    commands.pop_back();
  }
  return commands;
}

// The command's words as the shell passes them on, "~" replaced by HOME; none when the shell
// would still expand one.
std::optional<Words> plainWords(const std::vector<ScriptWord>& words) {
  Words plain;
  for (const auto& word : words) {
    const char* home = std::getenv("HOME");
    if (word.expands || (word.home && !home)) return std::nullopt;
    plain.push_back(word.home ? home + word.text.substr(1) : word.text);
  }
  return plain;
}

enum class Status { succeeds, fails, unknown };
enum class Reach { always, never, maybe };

// Whether the shell runs a command joined by `after` to commands that ended with `last`.
Reach reaches(const std::string& after, Status last) {
  if (after != "&&" && after != "||") return Reach::always;
  if (last == Status::unknown) return Reach::maybe;
  return (last == Status::succeeds) == (after == "&&") ? Reach::always : Reach::never;
}

// How cd with these arguments ends: it enters HOME or a folder named by its whole path, or
// fails; a relative name is looked for through CDPATH and the folder the shell is in.
Status cdStatus(const Words& args) {
  const char* home = std::getenv("HOME");
  const std::string folder = args.empty() ? (home ? home : "") : args[0];
  if (args.size() > 1 || !folder.starts_with('/')) return Status::unknown;
  return canEnter(folder) ? Status::succeeds : Status::fails;
}

// Whether each word is a time sleep takes: a number, perhaps with a fraction and a unit.
bool areDurations(const Words& args) {
  static const std::regex duration("[0-9]+(\\.[0-9]+)?[smhd]?");
  return !args.empty() && std::all_of(args.begin(), args.end(), [](const std::string& arg) {
    return std::regex_match(arg, duration);
  });
}

// How a command that does not run the executable ends: none when it is a built-in or keyword
// this reading does not follow, which may end the shell or change what it does next, or a
// program that may end the shell.
std::optional<Status> statusOf(const Words& words, std::size_t first, const std::string& path) {
  const std::string& name = words[first];
  const Words args(words.begin() + static_cast<std::ptrdiff_t>(first) + 1, words.end());
  if (name == ":" || name == "true") return Status::succeeds;
  if (name == "false") return Status::fails;
  if (name == "cd") return cdStatus(args);
  if (name == "kill" || name == "login" || name == "newgrp" || !findProgram(name, path))
    return std::nullopt;
  if (name == "sleep" && areDurations(args)) return Status::succeeds;
  return Status::unknown;
}

// Where a command's words go on after its NAME=value words, `path` then the PATH it runs with;
// none when it sets HOME, where "~" and cd go.
std::optional<std::size_t> afterAssignments(const Words& words, std::string& path) {
  std::size_t i = 0;
  for (; i < words.size() && isAssignment(words[i]); ++i) {
    if (words[i].starts_with("PATH=")) path = words[i].substr(5);
    if (words[i].starts_with("HOME=")) return std::nullopt;
  }
  return i;
}

// Whether a shell's -c script runs the executable: one of its simple commands that the shell is
// sure to reach, after any NAME=value words and an "exec", runs it. Commands before it are
// followed as far as this reading knows how they end: ";" and a new line go on, "&&" and "||"
// by the status of what ran before. A word the shell would still expand reads as not.
bool scriptRuns(const std::string& script, std::string path, const fs::path& executable,
                int depth) {
  const auto commands = scriptCommands(script);
  if (!commands) return false;
  Status last = Status::succeeds;
  for (const auto& command : *commands) {
    const auto words = plainWords(command.words);
    const Reach reach = reaches(command.after, last);
    if (reach == Reach::never) continue;
    if (!command.followed || !words) return false;
    std::string commandPath = path;
    const auto first = afterAssignments(*words, commandPath);
    if (!first) return false;
    const std::size_t i = *first;
    if (i < words->size() && (*words)[i] == "exec")
      return reach == Reach::always && runs(*words, i + 1, commandPath, executable, depth + 1);
    if (reach == Reach::always && runs(*words, i, commandPath, executable, depth + 1)) return true;
    if (i == words->size() && reach == Reach::maybe && commandPath != path) return false;
    if (i == words->size()) path = commandPath;  // the assignments stay for the script
    const auto status = i == words->size() ? Status::succeeds : statusOf(*words, i, commandPath);
    if (!status) return false;
    last = (reach == Reach::always || *status == last) ? *status : Status::unknown;
  }
  return false;
}

bool isShell(const std::string& name) {
  return name == "sh" || name == "bash" || name == "dash" || name == "zsh" || name == "ksh";
}

// Whether running words[first..] starts the executable: the program itself, or env, a shell's -c
// script or a command that runs its arguments (nice, nohup, ionice, setsid) running it, as they
// run theirs.
bool runs(const Words& words, std::size_t first, std::string path, const fs::path& executable,
          int depth) {
  if (first >= words.size() || depth > kNestingLimit) return false;
  const auto program = findProgram(words[first], path);
  if (!program) return false;
  std::error_code error;
  if (*program == executable || fs::equivalent(*program, executable, error)) return true;
  const Words rest(words.begin() + static_cast<std::ptrdiff_t>(first), words.end());
  const std::string name = program->filename().string();
  if (name == "env") return envRuns(rest, path, executable, depth);
  if (isShell(name) && rest.size() > 2 && rest[1] == "-c")
    return scriptRuns(rest[2], path, executable, depth);
  const auto wrapped = wrappedProgram(name, rest);
  return wrapped && runs(rest, *wrapped, path, executable, depth + 1);
}

// Whether GLib can start the command in the entry's folder: it starts nothing when it cannot
// enter it. A relative folder is taken from wherever the desktop runs, which this does not know.
bool entersFolder(GDesktopAppInfo* info) {
  const GText folder(g_desktop_app_info_get_string(info, "Path"));
  if (!folder || !*folder) return true;
  return folder.get()[0] == '/' && canEnter(folder.get());
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

std::string autostartEntry(const fs::path& executable) {
  // GLib looks for the program before it undoes "%%", so a path with a "%" would never be
  // found there: such a path goes to env as its argument instead.
  const std::string path = executable.string();
  const std::string launcher = path.find('%') == std::string::npos ? "" : "env ";
  return "[Desktop Entry]\nType=Application\nName=" + std::string(design::DeckDesign::productName) +
         "\nExec=" + launcher + execArgument(path) + "\nX-GNOME-Autostart-enabled=true\n";
}

bool startsAtLogin(std::string_view entry, const fs::path& executable) {
  const auto info = loadEntry(entry);
  if (!info || !autostartKeeps(info.get()) || !entersFolder(info.get())) return false;
  const char* exec = g_app_info_get_commandline(G_APP_INFO(info.get()));
  if (!exec) return false;
  const auto words = shellWords(expandFieldCodes(info.get(), exec));
  const char* path = std::getenv("PATH");
  return words && runs(*words, 0, path ? path : kDefaultPath, executable, 0);
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
