#include "agents/AgentTexts.h"

#include <nlohmann/json.hpp>

#include "runtime/Blocking.h"
#include "runtime/Files.h"
#include "runtime/Json.h"
#include "runtime/Unicode.h"

namespace brindlet::agents {

namespace {

constexpr std::size_t kHeadLimit = 4096;
constexpr std::string_view kBranchRef = "ref: refs/heads/";

// The length of the line break at the start of the text, 0 when none: LF, VT, FF, CR (CR LF
// splits into an empty piece, which is dropped anyway), NEL, LINE and PARAGRAPH SEPARATOR.
std::size_t breakAt(std::string_view text) {
  switch (text[0]) {
    case '\n':
    case '\v':
    case '\f':
    case '\r':
      return 1;
    default:
      break;
  }
  if (text.starts_with("\xC2\x85")) return 2;
  if (text.starts_with("\xE2\x80\xA8") || text.starts_with("\xE2\x80\xA9")) return 3;
  return 0;
}

std::optional<std::string> readSmallFile(const std::filesystem::path& path) {
  try {
    return runtime::readFile(path, kHeadLimit);
  } catch (const runtime::FileError&) {
    return std::nullopt;
  }
}

}  // namespace

std::optional<std::string> stringIn(const nlohmann::json& object, const char* key) {
  const auto found = object.find(key);
  if (found == object.end() || !found->is_string()) return std::nullopt;
  return found->get<std::string>();
}

const nlohmann::json* objectIn(const nlohmann::json& object, const char* key) {
  const auto found = object.find(key);
  return found != object.end() && found->is_object() ? &*found : nullptr;
}

const runtime::Bytes& noDecisionReply() {
  static const runtime::Bytes reply{'{', '}'};
  return reply;
}

std::optional<std::string> oneLine(const std::optional<std::string>& text, std::size_t max) {
  if (!text || max == 0) return std::nullopt;
  std::string_view rest = *text;
  while (!rest.empty()) {
    std::size_t end = 0;
    while (end < rest.size() && breakAt(rest.substr(end)) == 0) ++end;
    const auto line = rest.substr(0, end);
    if (!line.empty()) {
      if (runtime::graphemeCount(line) <= max) return std::string(line);
      return std::string(runtime::graphemePrefix(line, max - 1)) + "\u2026";
    }
    rest.remove_prefix(breakAt(rest));  // an empty line: a break at the start
  }
  return std::nullopt;
}

std::string lastPathComponent(std::string_view path) {
  while (path.size() > 1 && path.ends_with('/')) path.remove_suffix(1);
  if (path == "/") return "/";
  const auto slash = path.rfind('/');
  return std::string(slash == std::string_view::npos ? path : path.substr(slash + 1));
}

std::string activityText(const std::optional<std::string>& tool, const nlohmann::json* input,
                         bool withVerb) {
  if (!tool) return "Working";
  const auto& name = *tool;
  const auto file = [&] {
    const auto path = input ? stringIn(*input, "file_path") : std::nullopt;
    return path && !path->empty() ? lastPathComponent(*path) : std::string("a file");
  };
  const auto verb = [&](const char* word) { return withVerb ? word + file() : file(); };
  if (name == "Bash") {
    const auto command = input ? stringIn(*input, "command") : std::nullopt;
    return oneLine(command, 120).value_or("a command");
  }
  if (name == "Edit" || name == "Write" || name == "MultiEdit" || name == "NotebookEdit") {
    return verb("Editing ");
  }
  if (name == "Read") return verb("Reading ");
  if (name == "Grep" || name == "Glob") return "Searching";
  if (name == "WebFetch" || name == "WebSearch") return "Browsing the web";
  if (name == "Task" || name == "Agent") return "Running a subagent";
  return name;
}

std::optional<std::string> gitBranch(const std::filesystem::path& folder) {
  runtime::mayBlock("reading .git/HEAD");
  auto text = readSmallFile(folder / ".git" / "HEAD");
  // A bad byte on a card would keep every board from being encoded.
  if (!text || !runtime::isValidUTF8(*text)) return std::nullopt;
  constexpr std::string_view blanks = " \t\n\r\v\f";
  const auto first = text->find_first_not_of(blanks);
  if (first == std::string::npos) return std::nullopt;
  const std::string_view head =
      std::string_view(*text).substr(first, text->find_last_not_of(blanks) + 1 - first);
  if (!head.starts_with(kBranchRef) || head.size() == kBranchRef.size()) return std::nullopt;
  return std::string(head.substr(kBranchRef.size()));
}

runtime::Bytes permissionReply(bool allow, const nlohmann::json* suggestions, bool interrupt) {
  nlohmann::json decision = nlohmann::json::object();
  decision["behavior"] = allow ? "allow" : "deny";
  if (allow && suggestions) decision["updatedPermissions"] = *suggestions;
  if (!allow) {
    decision["message"] = interrupt ? "Stopped from Brindlet." : "Denied from Brindlet.";
    if (interrupt) decision["interrupt"] = true;
  }
  nlohmann::json output = nlohmann::json::object();
  output["hookEventName"] = "PermissionRequest";
  output["decision"] = std::move(decision);
  nlohmann::json reply = nlohmann::json::object();
  reply["hookSpecificOutput"] = std::move(output);
  try {
    const auto text = runtime::writeJson(reply);
    return runtime::Bytes(text.begin(), text.end());
  } catch (const runtime::JsonWriteError&) {
    return noDecisionReply();
  }
}

}  // namespace brindlet::agents
