// The Claude Code hook registration in a temporary home: every shape of settings file the
// installer meets, what install and uninstall leave, and that nothing is written when they fail.

#include "agents/ClaudeHooks.h"

#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <optional>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "agents/AgentSetupError.h"
#include "agents/HookScript.h"
#include "runtime/Log.h"
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
    json entry = {{"type", "command"}, {"command", hooks.command()}};
    if (event == "PermissionRequest") {
      entry["timeout"] = 600;
    } else {
      entry["async"] = true;
    }
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

TEST(ClaudeHooks, EachSettingsShapeEndsAsExpected) {
  enum class Op { install, uninstall };
  struct Case {
    const char* name;
    Op op;
    std::optional<std::string> before;  // the file's text; nothing: no file
    // What the file then holds; nothing: the file is left alone and no backup is made.
    std::function<std::optional<json>(const Home&)> after;
    std::optional<AgentSetupError> error = std::nullopt;
  };
  const auto unchanged = [](const Home&) { return std::optional<json>(); };
  const auto wrongKind = [](const char* member, const char* kind) {
    return AgentSetupError::unreadableSettings("\"" + std::string(member) +
                                               "\" in settings.json isn't a JSON " + kind);
  };
  const auto notObject = AgentSetupError::unreadableSettings("settings.json isn't a JSON object");
  const std::string mixed =
      R"({"hooks":{"Stop":[{"matcher":"*","hooks":[)" + kOther +
      R"(,{"type":"command","command":"'/old/share/com.velvane.mac/agents/agent-hook' claude"}]}]}})";
  const Case cases[] = {
      {"no file", Op::install, std::nullopt, [](const Home& h) { return h.installed(); }},
      {"empty file", Op::install, "", [](const Home& h) { return h.installed(); }},
      {"other members stay", Op::install, R"({"model":"opus","env":{"PATH":"/a/b"}})",
       [](const Home& h) {
         return h.installed({{"model", "opus"}, {"env", {{"PATH", "/a/b"}}}});
       }},
      {"another tool's group stays first", Op::install,
       R"({"hooks":{"Stop":[{"hooks":[)" + kOther + "]}]}}",
       [](const Home& h) {
         return h.installed({}, {{"Stop", json::array({otherGroup()})}});
       }},
      {"a shared group keeps the other tool's entry", Op::install, mixed,
       [](const Home& h) {
         return h.installed({}, {{"Stop", json::array({otherGroup("*")})}});
       }},
      {"elements that are not groups stay", Op::install,
       R"({"hooks":{"Stop":[3,"x",{"hooks":"y"}],"Custom":[1]}})",
       [](const Home& h) {
         return h.installed({{"hooks", {{"Custom", json::array({1})}}}},
                            {{"Stop", json::array({3, "x", json{{"hooks", "y"}}})}});
       }},
      {"a longer command holding the marker is own", Op::install,
       R"({"hooks":{"Stop":[{"hooks":[{"command":"bash -c '/x/com.velvane.mac/agents/agent-hook codex' || true"}]}]}})",
       [](const Home& h) { return h.installed(); }},
      {"hooks of another kind", Op::install, R"({"hooks":[]})", unchanged,
       wrongKind("hooks", "object")},
      {"an event of another kind", Op::install, R"({"hooks":{"Stop":{}}})", unchanged,
       wrongKind("hooks.Stop", "array")},
      {"top level array", Op::install, "[]", unchanged, notObject},
      {"top level scalar", Op::install, "3", unchanged, notObject},
      {"uninstall without a file", Op::uninstall, std::nullopt, unchanged},
      {"uninstall without hooks", Op::uninstall, R"({"model":"opus"})", unchanged},
      {"uninstall of our hooks only", Op::uninstall, Home().installed().dump(),
       [](const Home&) { return json::object(); }},
      {"uninstall keeps the rest", Op::uninstall,
       Home()
           .installed({{"model", "opus"}, {"hooks", {{"Custom", json::array({1})}}}},
                      {{"Stop", json::array({3})}})
           .dump(),
       [](const Home&) {
         return json{{"model", "opus"},
                     {"hooks", {{"Custom", json::array({1})}, {"Stop", json::array({3})}}}};
       }},
      {"uninstall from a shared group", Op::uninstall, mixed,
       [](const Home&) {
         return json{{"hooks", {{"Stop", json::array({otherGroup("*")})}}}};
       }},
      {"uninstall drops empty events", Op::uninstall, R"({"hooks":{"Stop":[]}})",
       [](const Home&) { return json::object(); }},
      {"uninstall, hooks of another kind", Op::uninstall, R"({"hooks":"x"})", unchanged,
       wrongKind("hooks", "object")},
      {"uninstall, an event of another kind", Op::uninstall, R"({"hooks":{"SessionEnd":null}})",
       unchanged, wrongKind("hooks.SessionEnd", "array")},
      {"uninstall, top level array", Op::uninstall, "[1]", unchanged, notObject},
  };
  for (const auto& c : cases) {
    Home home;
    if (c.before) home.write(*c.before);
    try {
      c.op == Op::install ? home.hooks.install() : home.hooks.uninstall();
      EXPECT_FALSE(c.error) << c.name;
    } catch (const AgentSetupError& e) {
      EXPECT_EQ(std::optional<AgentSetupError>(e), c.error) << c.name << ": " << e.text();
    }
    const auto expected = c.after(home);
    if (!expected) {
      EXPECT_EQ(home.settings(), c.before) << c.name;
      EXPECT_FALSE(fs::exists(home.hooks.backupFile())) << c.name;
      continue;
    }
    EXPECT_EQ(json::parse(home.settings().value_or("null")), *expected) << c.name;
    // A backup holds exactly what was replaced; a new file has none.
    EXPECT_EQ(home.backup(), c.before) << c.name;
  }
}

TEST(ClaudeHooks, ReadingFailuresWriteNothing) {
  struct Case {
    const char* name;
    std::function<void(const Home&)> prepare;
    AgentSetupError::Case error;
  };
  const Case cases[] = {
      {"not JSON", [](const Home& h) { h.write("{\"hooks\":"); },
       AgentSetupError::Case::unreadableSettings},
      {"comments", [](const Home& h) { h.write("// mine\n{}"); },
       AgentSetupError::Case::unreadableSettings},
      {"a folder", [](const Home& h) { fs::create_directories(h.hooks.settingsFile); },
       AgentSetupError::Case::unreadableSettings},
      // Infinity would be written as null: the file is left alone instead.
      {"a number beyond a double", [](const Home& h) { h.write(R"({"n":1e999,"hooks":{}})"); },
       AgentSetupError::Case::writeFailed},
  };
  for (const auto& c : cases) {
    for (const bool install : {true, false}) {
      Home home;
      c.prepare(home);
      const auto before = home.settings();
      try {
        install ? home.hooks.install() : home.hooks.uninstall();
        ADD_FAILURE() << c.name;
      } catch (const AgentSetupError& e) {
        EXPECT_EQ(e.kind(), c.error) << c.name << ": " << e.text();
      }
      EXPECT_FALSE(home.hooks.isInstalled()) << c.name;
      EXPECT_EQ(home.settings(), before) << c.name;
      EXPECT_FALSE(fs::exists(home.hooks.backupFile())) << c.name;
    }
  }
}

TEST(ClaudeHooks, InstallingTwiceEqualsOnceAndTheBackupHoldsTheFirstInstall) {
  Home home;
  runtime::LogCapture log;
  home.write(R"({"model":"opus","statusLine":{"command":"~/bin/status"}})");
  EXPECT_FALSE(home.hooks.isInstalled());
  home.hooks.install();
  const auto first = home.settings();
  home.hooks.install();
  EXPECT_EQ(home.settings(), first);
  EXPECT_EQ(home.backup(), first);
  EXPECT_TRUE(home.hooks.isInstalled());
  EXPECT_EQ(log.messages("agents", runtime::LogLevel::info),
            std::vector<std::string>(2, "Claude Code hooks installed"));
  EXPECT_EQ(contents(home.hooks.script), std::string(hookScriptText));
  EXPECT_EQ(modeOf(home.hooks.script), 0755u);

  // Indented, keys sorted, "/" as it is.
  const auto& text = *first;
  EXPECT_NE(text.find("\n  \"hooks\": {\n"), std::string::npos) << text;
  EXPECT_LT(text.find("\"hooks\""), text.find("\"model\""));
  EXPECT_LT(text.find("\"model\""), text.find("\"statusLine\""));
  EXPECT_NE(text.find("\"~/bin/status\""), std::string::npos);

  // One event lacking makes it not installed; installing again repairs it.
  auto settings = json::parse(*first);
  settings["hooks"].erase("StopFailure");
  home.write(settings.dump());
  EXPECT_FALSE(home.hooks.isInstalled());
  home.hooks.install();
  EXPECT_EQ(home.settings(), first);

  home.hooks.uninstall();
  EXPECT_FALSE(home.hooks.isInstalled());
  EXPECT_EQ(json::parse(*home.settings()),
            (json{{"model", "opus"}, {"statusLine", {{"command", "~/bin/status"}}}}));
  EXPECT_TRUE(fs::exists(home.hooks.script));
}

TEST(ClaudeHooks, ALinkedSettingsFileIsWrittenThroughAndKeepsItsMode) {
  Home home;
  const fs::path dotfiles = fs::path(home.dir.path()) / "dotfiles";
  fs::create_directories(dotfiles);
  fs::create_directories(home.hooks.settingsFile.parent_path());
  std::ofstream(dotfiles / "claude.json") << R"({"model":"opus"})";
  ::chmod((dotfiles / "claude.json").c_str(), 0640);
  fs::create_symlink("../dotfiles/claude.json", home.hooks.settingsFile);

  home.hooks.install();
  EXPECT_TRUE(fs::is_symlink(home.hooks.settingsFile));
  EXPECT_TRUE(home.hooks.isInstalled());
  EXPECT_EQ(modeOf(dotfiles / "claude.json"), 0640u);
  EXPECT_EQ(modeOf(home.hooks.backupFile()), 0640u);
  EXPECT_EQ(home.backup(), R"({"model":"opus"})");
  EXPECT_EQ(std::distance(fs::directory_iterator(dotfiles), fs::directory_iterator()), 1);
}

TEST(ClaudeHooks, AScriptPathWithAQuoteIsOneWordAndStillFound) {
  Home home;
  home.hooks.script = fs::path(home.dir.path()) / "o'brien" / "agent-hook";
  EXPECT_EQ(home.hooks.command(), "'" + home.dir.path() + "/o'\\''brien/agent-hook' claude");
  home.hooks.install();
  home.hooks.install();
  EXPECT_TRUE(home.hooks.isInstalled());
  EXPECT_EQ(json::parse(*home.settings()), home.installed());
  home.hooks.uninstall();
  EXPECT_EQ(json::parse(*home.settings()), json::object());
}

TEST(ClaudeHooks, WriteFailuresLeaveTheSettingsAlone) {
  {
    Home home;  // the settings folder cannot be made
    home.hooks.settingsFile = fs::path(home.dir.path()) / "plain" / "settings.json";
    home.dir.write("plain", "");
    EXPECT_THROW(home.hooks.install(), AgentSetupError);
    EXPECT_TRUE(fs::exists(home.hooks.script));  // written before the settings were read
  }
  {
    Home home;  // the backup cannot be made
    home.write(R"({"model":"opus"})");
    fs::create_directories(home.hooks.backupFile() / "in-the-way");
    try {
      home.hooks.install();
      ADD_FAILURE();
    } catch (const AgentSetupError& e) {
      EXPECT_EQ(e.kind(), AgentSetupError::Case::writeFailed) << e.text();
    }
    EXPECT_EQ(home.settings(), R"({"model":"opus"})");
  }
}

}  // namespace
}  // namespace brindlet::agents
