#pragma once

#include <memory>
#include <string>
#include <vector>

#include "support/ChildProcess.h"

namespace brindlet::testsupport {

// Runs the shell command `command` inside a private session bus (dbus-run-session), its address
// kept in `folder`; waits until the bus name `name` has an owner and points this process's
// DBUS_SESSION_BUS_ADDRESS at the bus. Throws when that takes longer than 15 s. Stopping the
// returned process ends the bus and everything on it.
std::unique_ptr<ChildProcess> startSessionBus(const std::string& folder, const std::string& command,
                                              const std::string& name);
// The same, waiting until every name in `names` has an owner.
std::unique_ptr<ChildProcess> startSessionBus(const std::string& folder, const std::string& command,
                                              const std::vector<std::string>& names);

// Points HOME and the XDG folders of this process (and of what it starts) at private folders
// under `home`, so that daemons keep their files and settings there.
void usePrivateHome(const std::string& home);

}  // namespace brindlet::testsupport
