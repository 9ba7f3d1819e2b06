#pragma once

#include <filesystem>
#include <string>
#include <string_view>

namespace brindlet::agents {

// The agent hook that a coding agent runs for each hook event: it posts the event's JSON from
// standard input to the hook server named by the discovery files beside it and prints the reply.
// It always exits with status 0; it prints "{}" without sending anything when the discovery
// files name no port or no token (the app is not there), and nothing when the server does not
// answer.
const std::string& hookScriptText();
// The same for a hook server on another address than the loopback's 127.0.0.1.
std::string hookScriptFor(std::string_view host);

// The script's place: the agents folder's "agent-hook".
std::filesystem::path hookScriptPath();

// Writes the script atomically with mode 0755, creating its folder (0700). Throws
// AgentSetupError::writeFailed.
void writeHookScript(const std::filesystem::path& script);

}  // namespace brindlet::agents
