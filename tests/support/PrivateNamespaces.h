#pragma once

#include <optional>
#include <string>
#include <vector>

namespace brindlet::testsupport {

// Runs this test binary again, with the same arguments, inside network and mount namespaces of
// its own (`unshare`), so that everything it starts shares one loopback (with its abstract
// sockets) and whatever links the tests add, and nothing reaches the machine's own. Inside, the X
// servers' socket and compiled-keymap folders are empty ones of its own (privateXFolders()), so a
// test's server never touches the machine's display. Call first in main(). Returns only where
// that is not done: already inside, or not root.
void reexecInPrivateNamespaces(int argc, char** argv);

// The folders an X server writes to that each private mount namespace has of its own.
std::vector<std::string> privateXFolders();

// Nothing inside the namespaces, else why the binary runs outside them.
std::optional<std::string> outsidePrivateNamespaces();

}  // namespace brindlet::testsupport
