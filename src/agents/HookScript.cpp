#include "agents/HookScript.h"

#include "agents/AgentSetupError.h"
#include "agents/DiscoveryFile.h"
#include "runtime/Files.h"

namespace brindlet::agents {

// The token travels in a header file, never on curl's command line where every local user could
// read it. The discovery files can go between any two lines (the app quits): without a port or a
// token nothing is sent, since curl would take a missing port for port 80. The agent runs its
// hooks through a shell in a session of their own, so the terminal is that of the nearest of the
// hook's ancestors (at most eight) that has one.
std::string hookScriptFor(std::string_view host) {
  return std::string(
             "#!/bin/sh\n"
             "# Brindlet agent hook: forwards this agent event to the Brindlet app, if it's "
             "running.\n"
             "CONF=\"${0%/*}/server.json\"\n"
             "PORT=$(/usr/bin/sed -n 's/.*\"port\":\\([0-9]*\\).*/\\1/p' \"$CONF\" "
             "2>/dev/null)\n"
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
             "OUT=$(/usr/bin/curl -s --max-time 590 -X POST \"http://") +
         std::string(host) +
         ":$PORT/hook?vendor=${1:-claude}\" \\\n"
         "  -H \"Content-Type: application/json\" -H @\"${0%/*}/server.headers\" \\\n"
         "  -H \"X-Term: ${TERM_PROGRAM:-}\" -H \"X-TTY: $TTY\" -H \"X-Tmux-Pane: ${TMUX_PANE:-}\" "
         "\\\n"
         "  -H \"X-Term-Session: ${ITERM_SESSION_ID:-${TERM_SESSION_ID:-}}\" --data-binary @- "
         "2>/dev/null)\n"
         "[ -n \"$OUT\" ] && printf '%s' \"$OUT\"\n"
         "exit 0";
}

const std::string& hookScriptText() {
  static const std::string text = hookScriptFor("127.0.0.1");
  return text;
}

std::filesystem::path hookScriptPath() {
  return agentsFolder() / "agent-hook";
}

void writeHookScript(const std::filesystem::path& script) {
  try {
    runtime::makeFolder(script.parent_path());
    runtime::writeFileAtomically(script, hookScriptText(), 0755);
  } catch (const std::filesystem::filesystem_error& e) {
    throw AgentSetupError::writeFailed(e);
  }
}

}  // namespace brindlet::agents
