#include "agents/ClaudeHooks.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdlib>
#include <system_error>

#include <nlohmann/json.hpp>

#include "agents/AgentSetupError.h"
#include "agents/HookScript.h"
#include "agents/HookServer.h"
#include "runtime/Blocking.h"
#include "runtime/Files.h"
#include "runtime/Json.h"

namespace brindlet::agents {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;

constexpr std::string_view kBackupName = "settings.json.before-velvane";
constexpr int kBlockingTimeoutSeconds = 600;
constexpr int kTimeoutSeconds = 10;
constexpr mode_t kNewFileMode = 0600;  // Claude Code's settings may hold keys in "env"

[[noreturn]] void failSystem(const char* what, const fs::path& path) {
  throw fs::filesystem_error(what, path, std::error_code(errno, std::generic_category()));
}

// Claude Code's settings are a few kilobytes; a file far larger is not one to rewrite.
constexpr std::size_t kSettingsLimit = std::size_t(16) << 20;

std::string readWhole(const fs::path& file) {
  return runtime::readFile(file, kSettingsLimit);
}

// As the setup errors describe a failed file step: the reason, then the file.
std::string describe(const runtime::FileError& error) {
  return error.reason() + ": " + error.path().string();
}

// The file a chain of symbolic links ends at, so that a linked settings file stays a link.
fs::path linkTarget(fs::path path) {
  for (int hop = 0; hop < 40; ++hop) {
    std::error_code error;
    if (!fs::is_symlink(path, error)) break;
    const fs::path target = fs::read_symlink(path, error);
    if (error) break;
    path = target.is_absolute() ? target : path.parent_path() / target;
  }
  return path;
}

// The command as the shell reads it, quotes removed, so that an own entry is found by the plain
// path however it was quoted.
std::string shellUnquoted(std::string_view command) {
  std::string plain;
  char quote = 0;
  for (std::size_t i = 0; i < command.size(); ++i) {
    const char c = command[i];
    const bool escapes =
        c == '\\' && i + 1 < command.size() && quote != '\'' &&
        (quote == 0 || std::string_view("\"\\$`").find(command[i + 1]) != std::string_view::npos);
    if (escapes) {
      plain += command[++i];
    } else if (quote == 0 && (c == '\'' || c == '"')) {
      quote = c;
    } else if (c == quote) {
      quote = 0;
    } else {
      plain += c;
    }
  }
  return plain;
}

bool isOwnEntry(const json& entry, const std::string& script) {
  if (!entry.is_object()) return false;
  const auto command = entry.find("command");
  if (command == entry.end() || !command->is_string()) return false;
  const auto& text = command->get_ref<const std::string&>();
  if (text.find(agentHookMarker) != std::string::npos) return true;
  const auto plain = shellUnquoted(text);
  return plain.find(agentHookMarker) != std::string::npos ||
         (!script.empty() && plain.find(script) != std::string::npos);
}

const json* entriesOf(const json& group) {
  if (!group.is_object()) return nullptr;
  const auto hooks = group.find("hooks");
  return hooks != group.end() && hooks->is_array() ? &*hooks : nullptr;
}

bool isOwnGroup(const json& group, const std::string& script) {
  const json* entries = entriesOf(group);
  if (entries == nullptr) return false;
  for (const auto& entry : *entries) {
    if (isOwnEntry(entry, script)) return true;
  }
  return false;
}

// The groups without the own entries: a group keeps another tool's entries beside ours, and
// goes once nothing is left in it. Elements that are not groups stay as they are.
json withoutOwn(const json& groups, const std::string& script) {
  json kept = json::array();
  for (const auto& group : groups) {
    const json* entries = entriesOf(group);
    if (entries == nullptr) {
      kept.push_back(group);
      continue;
    }
    json others = json::array();
    for (const auto& entry : *entries) {
      if (!isOwnEntry(entry, script)) others.push_back(entry);
    }
    if (others.size() == entries->size()) {
      kept.push_back(group);
    } else if (!others.empty()) {
      json trimmed = group;
      trimmed["hooks"] = std::move(others);
      kept.push_back(std::move(trimmed));
    }
  }
  return kept;
}

// "hooks" of the settings, or nothing; a value of another kind is refused rather than dropped.
json* hooksOf(json& settings) {
  const auto hooks = settings.find("hooks");
  if (hooks == settings.end()) return nullptr;
  if (!hooks->is_object()) {
    throw AgentSetupError::unreadableSettings("\"hooks\" in settings.json isn't a JSON object");
  }
  return &*hooks;
}

json* eventOf(json& hooks, std::string_view name) {
  const auto groups = hooks.find(name);
  if (groups == hooks.end()) return nullptr;
  if (!groups->is_array()) {
    throw AgentSetupError::unreadableSettings("\"hooks." + std::string(name) +
                                              "\" in settings.json isn't a JSON array");
  }
  return &*groups;
}

// Every entry runs in the foreground: the agent drops the body of a background SessionEnd and
// cancels a background Stop when a session without a terminal exits. The server answers all
// but the blocking event at once, so the short limit only bounds a stalled server.
json ownGroup(const ClaudeHookEvent& event, const std::string& command) {
  json entry = {{"type", "command"}, {"command", command}};
  entry["timeout"] = event.blocking ? kBlockingTimeoutSeconds : kTimeoutSeconds;
  return {{"hooks", json::array({std::move(entry)})}};
}

std::string serialised(const json& settings) {
  try {
    // The compact writer refuses what the indented one would write wrongly: numbers beyond a
    // double (read as infinities) and invalid UTF-8.
    runtime::writeJson(settings);
    return settings.dump(2, ' ', false, json::error_handler_t::strict);
  } catch (const runtime::JsonWriteError& e) {
    throw AgentSetupError::writeFailed(e.description());
  } catch (const json::exception& e) {
    throw AgentSetupError::writeFailed(e.what());
  }
}

}  // namespace

// The events after a tool and before a turn tell the hub that a permission request was answered
// in the terminal.
const std::array<ClaudeHookEvent, 10> claudeHookEvents{{{"SessionStart", false},
                                                        {"UserPromptSubmit", false},
                                                        {"PreToolUse", false},
                                                        {"PermissionRequest", true},
                                                        {"PostToolUse", false},
                                                        {"PostToolUseFailure", false},
                                                        {"Notification", false},
                                                        {"Stop", false},
                                                        {"StopFailure", false},
                                                        {"SessionEnd", false}}};

fs::path ClaudeHooks::defaultSettingsFile() {
  // Claude Code keeps its settings where this variable points, when it is set.
  if (const char* folder = std::getenv("CLAUDE_CONFIG_DIR"); folder != nullptr && *folder != 0) {
    return fs::path(folder) / "settings.json";
  }
  return runtime::homeFolder() / ".claude" / "settings.json";
}

fs::path ClaudeHooks::defaultScript() {
  return hookScriptPath();
}

std::string ClaudeHooks::command() const {
  std::string word = "'";
  for (const char c : script.string()) {
    word += c == '\'' ? std::string("'\\''") : std::string(1, c);
  }
  return word + "' claude";
}

fs::path ClaudeHooks::backupFile() const {
  return settingsFile.parent_path() / kBackupName;
}

json ClaudeHooks::readSettings() const {
  runtime::mayBlock("reading Claude Code's settings");
  std::string bytes;
  try {
    std::error_code error;
    if (!fs::exists(settingsFile, error)) {
      if (error) throw fs::filesystem_error("inspect", settingsFile, error);
      return json::object();
    }
    bytes = readWhole(settingsFile);
  } catch (const fs::filesystem_error& e) {
    throw AgentSetupError::unreadableSettings(e);
  } catch (const runtime::FileError& e) {
    throw AgentSetupError::unreadableSettings(describe(e));
  }
  if (bytes.empty()) return json::object();
  json settings;
  try {
    runtime::parseJson(bytes, settings);
  } catch (const runtime::JsonReadError& e) {
    throw AgentSetupError::unreadableSettings(e.text());
  }
  if (!settings.is_object()) {
    throw AgentSetupError::unreadableSettings("settings.json isn't a JSON object");
  }
  return settings;
}

void ClaudeHooks::writeScript() const {
  writeHookScript(script);
}

void ClaudeHooks::writeSettings(const json& settings) const {
  runtime::mayBlock("writing Claude Code's settings");
  const std::string text = serialised(settings);
  try {
    // The folder is Claude Code's: made when missing, else left as it is (mode, link).
    const fs::path folder = settingsFile.parent_path();
    if (!fs::exists(folder)) runtime::makeFolder(folder);
    const fs::path target = linkTarget(settingsFile);
    mode_t mode = kNewFileMode;
    struct stat status {};
    if (::stat(target.c_str(), &status) == 0) {
      mode = status.st_mode & 07777;
      runtime::writeFileAtomically(backupFile(), readWhole(target), mode);
    } else if (errno != ENOENT) {
      failSystem("inspect", target);
    }
    runtime::writeFileAtomically(target, text, mode);
  } catch (const fs::filesystem_error& e) {
    throw AgentSetupError::writeFailed(e);
  } catch (const runtime::FileError& e) {
    throw AgentSetupError::writeFailed(describe(e));
  }
}

bool ClaudeHooks::isInstalled() const {
  try {
    json settings = readSettings();
    const json* hooks = hooksOf(settings);
    if (hooks == nullptr) return false;
    const std::string path = script.string();
    for (const auto& event : claudeHookEvents) {
      const auto groups = hooks->find(event.name);
      if (groups == hooks->end() || !groups->is_array()) return false;
      bool own = false;
      for (const auto& group : *groups) own = own || isOwnGroup(group, path);
      if (!own) return false;
    }
    return true;
  } catch (const AgentSetupError&) {
    return false;
  }
}

void ClaudeHooks::install() const {
  writeScript();
  json settings = readSettings();
  const json* found = hooksOf(settings);
  json hooks = found != nullptr ? *found : json::object();
  const std::string path = script.string();
  const std::string entryCommand = command();
  for (const auto& event : claudeHookEvents) {
    const json* groups = eventOf(hooks, event.name);
    json kept = groups != nullptr ? withoutOwn(*groups, path) : json::array();
    kept.push_back(ownGroup(event, entryCommand));
    hooks[std::string(event.name)] = std::move(kept);
  }
  settings["hooks"] = std::move(hooks);
  writeSettings(settings);
  agentsLog().info("Claude Code hooks installed");
}

void ClaudeHooks::uninstall() const {
  json settings = readSettings();
  json* hooks = hooksOf(settings);
  if (hooks == nullptr) return;
  const std::string path = script.string();
  for (const auto& event : claudeHookEvents) {
    json* groups = eventOf(*hooks, event.name);
    if (groups == nullptr) continue;
    json kept = withoutOwn(*groups, path);
    if (kept.empty()) {
      hooks->erase(std::string(event.name));
    } else {
      *groups = std::move(kept);
    }
  }
  if (hooks->empty()) settings.erase("hooks");
  writeSettings(settings);
}

}  // namespace brindlet::agents
