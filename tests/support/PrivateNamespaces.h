#pragma once

#include <optional>
#include <string>

namespace brindlet::testsupport {

// Runs this test binary again, with the same arguments, inside network and mount namespaces of
// its own (`unshare`), so that everything it starts shares one loopback (with its abstract
// sockets) and whatever links the tests add, and nothing reaches the machine's own. Call first
// in main(). Returns only where that is not done: already inside, or not root.
void reexecInPrivateNamespaces(int argc, char** argv);

// Nothing inside the namespaces, else why the binary runs outside them.
std::optional<std::string> outsidePrivateNamespaces();

}  // namespace brindlet::testsupport
