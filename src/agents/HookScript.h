#pragma once

#include <filesystem>
#include <string_view>

namespace brindlet::agents {

// The agent hook that a coding agent runs for each hook event: it posts the event's JSON from
// standard input to the hook server named by the discovery files beside it and prints the reply.
// It always exits with status 0, and prints nothing when the app is not there.
extern const std::string_view hookScriptText;

// The script's place: the agents folder's "agent-hook".
std::filesystem::path hookScriptPath();

// Writes the script atomically with mode 0755, creating its folder (0700). Throws
// AgentSetupError::writeFailed.
void writeHookScript(const std::filesystem::path& script);

}  // namespace brindlet::agents
