// The Claude Code hook registration in a temporary home: every shape of settings file the
// installer meets, what install and uninstall leave, and that nothing is written when they fail.

#include "agents/ClaudeHooks.h"

#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "agents/AgentSetupError.h"
#include "agents/HookScript.h"
#include "runtime/Log.h"
#include "support/Environment.h"
#include "support/TempDir.h"

namespace brindlet::agents {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;

std::optional<std::string> contents(const fs::path& file) {
  if (!fs::is_regular_file(file)) return std::nullopt;
  std::ifstream in(file, std::ios::binary);
  if (!in) return std::nullopt;
  return std::string{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

mode_t modeOf(const fs::path& file) {
  struct stat status {};
  ::stat(file.c_str(), &status);
  return status.st_mode & 07777;
}

struct Home {
  testsupport::TempDir dir;
  ClaudeHooks hooks{fs::path(dir.path()) / ".claude" / "settings.json",
                    fs::path(dir.path()) / "data" / "com.velvane.mac" / "agents" / "agent-hook"};

  void write(const std::string& text) const {
    fs::create_directories(hooks.settingsFile.parent_path());
    std::ofstream(hooks.settingsFile, std::ios::binary) << text;
  }
  std::optional<std::string> settings() const { return contents(hooks.settingsFile); }
  std::optional<std::string> backup() const { return contents(hooks.backupFile()); }

  json own(std::string_view event) const {
    const json entry = {{"type", "command"},
                        {"command", hooks.command()},
                        {"timeout", event == "PermissionRequest" ? 600 : 10}};
    return {{"hooks", json::array({entry})}};
  }
  // The settings with the app's group appended to every event; `before` holds what each event
  // had in front of it.
  json installed(json settings = json::object(), json before = json::object()) const {
    for (const auto& event : claudeHookEvents) {
      const std::string name(event.name);
      json groups = before.contains(name) ? before[name] : json::array();
      groups.push_back(own(name));
      settings["hooks"][name] = groups;
    }
    return settings;
  }
};

const std::string kOther = R"({"type":"command","command":"other-tool --hook"})";

json otherGroup(const char* matcher = nullptr) {
  json group{{"hooks", json::array({json::parse(kOther)})}};
  if (matcher != nullptr) group["matcher"] = matcher;
  return group;
}

// What the first release wrote: eight events, the blocking one with a limit, the others in the
// background.
json older() {
  json hooks = json::object();
  for (const char* name : {"SessionStart", "UserPromptSubmit", "PreToolUse", "PermissionRequest",
                           "Notification", "Stop", "StopFailure", "SessionEnd"}) {
    json entry = {{"type", "command"},
                  {"command", "'/home/ann/.local/share/com.velvane.mac/agents/agent-hook' claude"}};
    if (std::string_view(name) == "PermissionRequest") {
      entry["timeout"] = 600;
    } else {
      entry["async"] = true;
    }
    hooks[name] = json::array({{{"hooks", json::array({entry})}}});
  }
  return {{"hooks", hooks}};
}

TEST(ClaudeHooks, EachSettingsShapeEndsAsExpected) {
  struct Case {
    const char* name;
    bool install;                       // else uninstall
    std::optional<std::string> before;  // the file's text; nothing: no file
    std::optional<json> after;          // what the file then holds; nothing: left alone, no backup
    std::string error = "";             // how the error's text starts
  };
  const Home h;
  const std::string mixed =
      R"({"hooks":{"Stop":[{"matcher":"*","hooks":[)" + kOther +
      R"(,{"type":"command","command":"'/old/share/com.velvane.mac/agents/agent-hook' claude"}]}]}})";
  const json custom{{"Custom", json::array({1})}};
  const Case cases[] = {
      {"no file", true, std::nullopt, h.installed()},
      {"empty file", true, "", h.installed()},
      {"other members stay", true, R"({"model":"opus","env":{"PATH":"/a/b"}})",
       h.installed({{"model", "opus"}, {"env", {{"PATH", "/a/b"}}}})},
      {"another tool's group stays first", true,
       R"({"hooks":{"Stop":[{"hooks":[)" + kOther + "]}]}}",
       h.installed({}, {{"Stop", json::array({otherGroup()})}})},
      {"a shared group keeps the other tool's entry", true, mixed,
       h.installed({}, {{"Stop", json::array({otherGroup("*")})}})},
      {"elements that are not groups stay", true,
       R"({"hooks":{"Stop":[3,"x",{"hooks":"y"}],"Custom":[1]}})",
       h.installed({{"hooks", custom}}, {{"Stop", json::array({3, "x", json{{"hooks", "y"}}})}})},
      {"a longer command holding the marker is own", true,
       R"({"hooks":{"Stop":[{"hooks":[{"command":"bash -c '/x/com.velvane.mac/agents/agent-hook codex' || true"}]}]}})",
       h.installed()},
      {"hooks of another kind", true, R"({"hooks":[]})", std::nullopt,
       R"(unreadableSettings("\"hooks\" in settings.json isn't a JSON object"))"},
      {"an event of another kind", true, R"({"hooks":{"Stop":{}}})", std::nullopt,
       R"(unreadableSettings("\"hooks.Stop\" in settings.json isn't a JSON array"))"},
      {"top level array", true, "[]", std::nullopt,
       R"(unreadableSettings("settings.json isn't a JSON object"))"},
      {"not JSON", true, R"({"hooks":)", std::nullopt, "unreadableSettings("},
      {"comments", true, "// mine\n{}", std::nullopt, "unreadableSettings("},
      // Infinity would be written as null: the file is left alone instead.
      {"a number beyond a double", true, R"({"n":1e999})", std::nullopt, "writeFailed("},
      {"an older install is replaced", true, older().dump(), h.installed()},
      {"uninstall without a file", false, std::nullopt, std::nullopt},
      {"uninstall of an older install", false, older().dump(), json::object()},
      {"uninstall without hooks", false, R"({"model":"opus"})", std::nullopt},
      {"uninstall of our hooks only", false, h.installed().dump(), json::object()},
      {"uninstall keeps the rest", false,
       h.installed({{"model", "opus"}, {"hooks", custom}}, {{"Stop", json::array({3})}}).dump(),
       json{{"model", "opus"},
            {"hooks", {{"Custom", json::array({1})}, {"Stop", json::array({3})}}}}},
      {"uninstall from a shared group", false, mixed,
       json{{"hooks", {{"Stop", json::array({otherGroup("*")})}}}}},
      {"uninstall drops empty events", false, R"({"hooks":{"Stop":[]}})", json::object()},
  };
  for (const auto& c : cases) {
    fs::remove_all(h.hooks.settingsFile.parent_path());
    if (c.before) h.write(*c.before);
    std::string error;
    try {
      c.install ? h.hooks.install() : h.hooks.uninstall();
    } catch (const AgentSetupError& e) {
      error = e.text();
    }
    EXPECT_TRUE(error.starts_with(c.error) && error.empty() == c.error.empty())
        << c.name << ": " << error;
    EXPECT_EQ(h.hooks.isInstalled(), c.install && c.after.has_value()) << c.name;
    if (!c.after) {
      EXPECT_EQ(h.settings(), c.before) << c.name;
      EXPECT_FALSE(fs::exists(h.hooks.backupFile())) << c.name;
      continue;
    }
    EXPECT_EQ(json::parse(h.settings().value_or("null")), *c.after) << c.name;
    EXPECT_EQ(h.backup(), c.before) << c.name;  // exactly what was replaced; none for a new file
  }
}

TEST(ClaudeHooks, InstallingTwiceEqualsOnceAndTheBackupHoldsTheFirstInstall) {
  Home home;
  runtime::LogCapture log;
  home.write(R"({"model":"opus","env":{"A":"~/b"}})");
  home.hooks.install();
  const auto first = home.settings().value();
  home.hooks.install();
  EXPECT_EQ(home.settings(), first);
  EXPECT_EQ(home.backup(), first);
  EXPECT_EQ(log.messages("agents", runtime::LogLevel::info),
            std::vector<std::string>(2, "Claude Code hooks installed"));
  // The script's bytes, pinned: agents already set up run whatever the last install wrote.
  EXPECT_EQ(
      contents(home.hooks.script),
      "#!/bin/sh\n"
      "# Brindlet agent hook: forwards this agent event to the Brindlet app, if it's running.\n"
      "CONF=\"${0%/*}/server.json\"\n"
      "PORT=$(/usr/bin/sed -n 's/.*\"port\":\\([0-9]*\\).*/\\1/p' \"$CONF\" 2>/dev/null)\n"
      "[ -n \"$PORT\" ] && [ -s \"${0%/*}/server.headers\" ] || "
      "{ cat >/dev/null; printf '{}'; exit 0; }\n"
      "P=$PPID N=0 TTY=\n"
      "while [ -z \"$TTY\" ] && [ $N -lt 8 ] && [ \"${P:-0}\" -gt 1 ] 2>/dev/null; do\n"
      "  read -r T P <<EOF\n"
      "$(/bin/ps -o tty= -o ppid= -p \"$P\" 2>/dev/null)\n"
      "EOF\n"
      "  case \"$T\" in ''|'?') ;; *) TTY=$T ;; esac\n"
      "  N=$((N+1))\n"
      "done\n"
      "OUT=$(/usr/bin/curl -s --max-time 590 -X POST "
      "\"http://127.0.0.1:$PORT/hook?vendor=${1:-claude}\" \\\n"
      "  -H \"Content-Type: application/json\" -H @\"${0%/*}/server.headers\" \\\n"
      "  -H \"X-Term: ${TERM_PROGRAM:-}\" -H \"X-TTY: $TTY\" -H \"X-Tmux-Pane: ${TMUX_PANE:-}\" "
      "\\\n"
      "  -H \"X-Term-Session: ${ITERM_SESSION_ID:-${TERM_SESSION_ID:-}}\" --data-binary @- "
      "2>/dev/null)\n"
      "[ -n \"$OUT\" ] && printf '%s' \"$OUT\"\n"
      "exit 0");
  EXPECT_EQ(modeOf(home.hooks.script), 0755u);
  // Indented, keys sorted, "/" as it is.
  EXPECT_EQ(first.find("{\n  \"env\": {\n    \"A\": \"~/b\"\n  },\n  \"hooks\": {\n"), 0u);
  EXPECT_LT(first.find("\"hooks\""), first.find("\"model\""));

  // What an older release installed reads as not installed, so that the menu offers to connect.
  home.write(older().dump());
  EXPECT_FALSE(home.hooks.isInstalled());
  home.hooks.install();
  EXPECT_EQ(json::parse(*home.settings()), home.installed());

  // One event lacking makes it not installed; installing again repairs it.
  auto settings = json::parse(first);
  settings["hooks"].erase("StopFailure");
  home.write(settings.dump());
  EXPECT_FALSE(home.hooks.isInstalled());
  home.hooks.install();
  EXPECT_EQ(home.settings(), first);
  home.hooks.uninstall();
  EXPECT_TRUE(fs::exists(home.hooks.script));
}

TEST(ClaudeHooks, ALinkedSettingsFileIsWrittenThroughAndKeepsItsMode) {
  Home home;
  const fs::path target = fs::path(home.dir.path()) / "claude.json";
  std::ofstream(target) << "{}";
  ::chmod(target.c_str(), 0640);
  fs::create_directories(home.hooks.settingsFile.parent_path());
  fs::create_symlink("../claude.json", home.hooks.settingsFile);
  home.hooks.install();
  EXPECT_TRUE(fs::is_symlink(home.hooks.settingsFile));
  EXPECT_EQ(json::parse(contents(target).value()), home.installed());
  EXPECT_EQ(modeOf(target), 0640u);
  EXPECT_EQ(modeOf(home.hooks.backupFile()), 0640u);
}

TEST(ClaudeHooks, AScriptPathWithAQuoteIsOneWordAndStillFound) {
  Home home;
  home.hooks.script = fs::path(home.dir.path()) / "o'brien" / "agent-hook";
  EXPECT_EQ(home.hooks.command(), "'" + home.dir.path() + "/o'\\''brien/agent-hook' claude");
  home.hooks.install();
  home.hooks.install();
  EXPECT_EQ(json::parse(*home.settings()), home.installed());
  home.hooks.uninstall();
  EXPECT_EQ(home.settings(), "{}");
}

TEST(ClaudeHooks, AFailedWriteLeavesTheSettingsAlone) {
  Home home;
  home.write(R"({"model":"opus"})");
  fs::create_directories(home.hooks.backupFile() / "in-the-way");
  EXPECT_THROW(home.hooks.install(), AgentSetupError);
  EXPECT_EQ(home.settings(), R"({"model":"opus"})");
  home.hooks.settingsFile = fs::path(home.dir.path()) / "no-folder" / "settings.json";
  home.dir.write("no-folder", "");
  try {
    home.hooks.install();
    ADD_FAILURE();
  } catch (const AgentSetupError& e) {
    EXPECT_EQ(e,
              AgentSetupError::writeFailed("Not a directory: " + home.hooks.settingsFile.string()));
  }
}

// A settings file that is a named pipe with no writer is refused at once, and nothing is written.
TEST(ClaudeHooks, ASettingsPipeIsRefusedWithoutWaiting) {
  Home home;
  fs::create_directories(home.hooks.settingsFile.parent_path());
  ASSERT_EQ(::mkfifo(home.hooks.settingsFile.c_str(), 0600), 0);
  try {
    home.hooks.install();
    ADD_FAILURE();
  } catch (const AgentSetupError& e) {
    EXPECT_EQ(e, AgentSetupError::unreadableSettings("Not a regular file: " +
                                                     home.hooks.settingsFile.string()));
  }
  EXPECT_FALSE(home.hooks.isInstalled());
  EXPECT_FALSE(fs::exists(home.hooks.backupFile()));
  EXPECT_TRUE(fs::is_fifo(home.hooks.settingsFile));
}

// Claude Code reads its settings from $CLAUDE_CONFIG_DIR when that is set: the installer follows.
TEST(ClaudeHooks, TheSettingsFollowClaudesConfigFolder) {
  testsupport::TempDir dir;
  struct Case {
    std::optional<std::string> folder;
    fs::path settings;
  };
  const Case cases[] = {
      {std::nullopt, fs::path(dir.path()) / ".claude" / "settings.json"},
      {"", fs::path(dir.path()) / ".claude" / "settings.json"},
      {dir.path() + "/conf", fs::path(dir.path()) / "conf" / "settings.json"},
  };
  for (const auto& c : cases) {
    const testsupport::Variables environment{{"HOME", dir.path()}, {"CLAUDE_CONFIG_DIR", c.folder}};
    // The installer as the app makes it, and one made again for each look.
    const auto fresh = [&environment] {
      return testsupport::withEnvironment(environment, [] { return ClaudeHooks(); });
    };
    ClaudeHooks hooks = fresh();
    hooks.script = fs::path(dir.path()) / "com.velvane.mac" / "agents" / "agent-hook";
    EXPECT_EQ(hooks.settingsFile, c.settings);
    hooks.install();
    EXPECT_TRUE(fresh().isInstalled());
    EXPECT_TRUE(fs::exists(c.settings));
    hooks.uninstall();
    EXPECT_FALSE(fresh().isInstalled());
    EXPECT_EQ(contents(c.settings), "{}");
  }
}

}  // namespace
}  // namespace brindlet::agents
