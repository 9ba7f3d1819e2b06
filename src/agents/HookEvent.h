#pragma once

#include <string>

#include "runtime/Bytes.h"

namespace brindlet::agents {

// Where an agent's terminal is, as the hook script found it; each field is "" when unknown.
struct TerminalLocation {
  std::string program;   // TERM_PROGRAM
  std::string tty;       // controlling terminal without "/dev/", as ps prints it
  std::string tmuxPane;  // "%" and a number
  std::string session;   // the terminal's own session id

  // The session id alone does not say where the terminal is.
  bool isEmpty() const { return program.empty() && tty.empty() && tmuxPane.empty(); }

  friend bool operator==(const TerminalLocation&, const TerminalLocation&) = default;
};

// One hook event as the server hands it to its handler: the body exactly as received.
struct HookEvent {
  std::string vendor;
  runtime::Bytes body;
  TerminalLocation terminal;

  friend bool operator==(const HookEvent&, const HookEvent&) = default;
};

}  // namespace brindlet::agents
