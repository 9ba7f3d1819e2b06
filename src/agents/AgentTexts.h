#pragma once

#include <cstddef>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include <nlohmann/json_fwd.hpp>

#include "runtime/Bytes.h"

namespace brindlet::agents {

// The texts of the agent board: short lines cut for a card, what a tool is doing, the branch of
// a working folder, and the hook replies of a permission decision.

// The hook reply "{}": a reply without a decision, so the agent asks in its terminal.
const runtime::Bytes& noDecisionReply();

// A member of a hook's JSON object; a member of another JSON type counts as absent.
std::optional<std::string> stringIn(const nlohmann::json& object, const char* key);
const nlohmann::json* objectIn(const nlohmann::json& object, const char* key);

// The first non-empty line of the text (split at every Unicode line break), cut to at most `max`
// user-perceived characters: a longer line keeps its first max - 1 and gains "…". Nothing when
// there is no text or only line breaks.
std::optional<std::string> oneLine(const std::optional<std::string>& text, std::size_t max);

// The last component of a path, a trailing slash ignored ("/" stays "/").
std::string lastPathComponent(std::string_view path);

// What a tool is doing, from its name and its input object: "Editing a.cpp" with the verb (a
// card's detail), "a.cpp" without (a permission request's summary).
std::string activityText(const std::optional<std::string>& tool, const nlohmann::json* input,
                         bool withVerb);

// The branch checked out in the folder, from ".git/HEAD"; nothing for a detached HEAD or a HEAD
// that is not a small regular UTF-8 file. Opened without blocking: the folder comes from a
// hook's JSON, and a FIFO or a device there must not stall the main loop.
std::optional<std::string> gitBranch(const std::filesystem::path& folder);

// A permission decision as the hook prints it: compact JSON with sorted keys. Allowing carries
// the hook's suggestions when given; denying carries its message, and interrupting stops the
// agent too.
runtime::Bytes permissionReply(bool allow, const nlohmann::json* suggestions, bool interrupt);

}  // namespace brindlet::agents
