#pragma once

#include <array>
#include <filesystem>
#include <string>
#include <string_view>

#include <nlohmann/json_fwd.hpp>

namespace brindlet::agents {

// A Claude Code hook event the agent hook is registered for. A blocking event (a permission
// request held until the phone decides) may wait for ten minutes; the others are answered at once.
struct ClaudeHookEvent {
  std::string_view name;
  bool blocking = false;
};
extern const std::array<ClaudeHookEvent, 10> claudeHookEvents;

// Found in the command of every agent hook entry, whichever home or copy of the app wrote it.
inline constexpr std::string_view agentHookMarker = "com.velvane.mac/agents/agent-hook";

// Connects Claude Code to the app: writes the agent hook and registers it in Claude Code's user
// settings for the events above. The settings file belongs to Claude Code: it is read as plain
// JSON, only entries recognised as the app's own change, everything else is carried through, a
// backup of the file is kept before each write, and nothing is written when reading failed.
// Every call reads the files again; calls run synchronously and throw AgentSetupError.
struct ClaudeHooks {
  std::filesystem::path settingsFile = defaultSettingsFile();
  std::filesystem::path script = defaultScript();

  // $CLAUDE_CONFIG_DIR/settings.json when the variable is set, else ~/.claude/settings.json.
  static std::filesystem::path defaultSettingsFile();
  static std::filesystem::path defaultScript();  // the agents folder's agent-hook

  // Whether every event holds an own group; any failure reads as not installed.
  bool isInstalled() const;
  // Writes the script, then replaces the own entries of every event with fresh ones at the
  // end of each event's list.
  void install() const;
  // Removes the own entries; events and "hooks" left empty go too. The script stays.
  void uninstall() const;

  // The steps. The settings as an object: {} when the file is missing or empty.
  nlohmann::json readSettings() const;
  void writeScript() const;
  // Backs the current file up beside it, then replaces it atomically: indented, keys sorted, "/"
  // unescaped. A symbolic link is written through, and the file keeps its mode.
  void writeSettings(const nlohmann::json& settings) const;

  // The entry's command: the script's path as one shell word, then the vendor.
  std::string command() const;
  std::filesystem::path backupFile() const;  // "settings.json.before-velvane" beside the file
};

}  // namespace brindlet::agents
