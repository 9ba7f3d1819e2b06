#include "agents/HookScript.h"

#include "agents/AgentSetupError.h"
#include "agents/DiscoveryFile.h"
#include "runtime/Files.h"

namespace brindlet::agents {

// The token travels in a header file, never on curl's command line where every local user could
// read it.
const std::string_view hookScriptText =
    "#!/bin/sh\n"
    "# Brindlet agent hook: forwards this agent event to the Brindlet app, if it's running.\n"
    "CONF=\"${0%/*}/server.json\"\n"
    "[ -f \"$CONF\" ] || { cat >/dev/null; exit 0; }\n"
    "PORT=$(/usr/bin/sed -n 's/.*\"port\":\\([0-9]*\\).*/\\1/p' \"$CONF\")\n"
    "TTY=$(/bin/ps -o tty= -p \"$PPID\" 2>/dev/null | /usr/bin/tr -d ' ')\n"
    "OUT=$(/usr/bin/curl -s --max-time 590 -X POST "
    "\"http://127.0.0.1:$PORT/hook?vendor=${1:-claude}\" \\\n"
    "  -H \"Content-Type: application/json\" -H @\"${0%/*}/server.headers\" \\\n"
    "  -H \"X-Term: ${TERM_PROGRAM:-}\" -H \"X-TTY: $TTY\" -H \"X-Tmux-Pane: ${TMUX_PANE:-}\" \\\n"
    "  -H \"X-Term-Session: ${ITERM_SESSION_ID:-${TERM_SESSION_ID:-}}\" --data-binary @- "
    "2>/dev/null)\n"
    "[ -n \"$OUT\" ] && printf '%s' \"$OUT\"\n"
    "exit 0";

std::filesystem::path hookScriptPath() {
  return agentsFolder() / "agent-hook";
}

void writeHookScript(const std::filesystem::path& script) {
  try {
    runtime::makeFolder(script.parent_path());
    runtime::writeFileAtomically(script, hookScriptText, 0755);
  } catch (const std::filesystem::filesystem_error& e) {
    throw AgentSetupError::writeFailed(e);
  }
}

}  // namespace brindlet::agents
