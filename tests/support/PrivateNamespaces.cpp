#include "support/PrivateNamespaces.h"

#include <sys/mount.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <iterator>
#include <vector>

#include "support/ChildProcess.h"

namespace brindlet::testsupport {
namespace {

// Set in the re-executed binary; its children inherit it harmlessly.
constexpr const char* kInside = "BRINDLET_PRIVATE_NAMESPACES";

std::optional<std::string>& whyOutside() {
  static std::optional<std::string> why = "reexecInPrivateNamespaces() was not called";
  return why;
}

// An X server in a network namespace of its own finds every abstract socket name free, so it may
// take a number the machine's own display uses: in the shared folders it would replace that
// display's socket file (and remove it when it ends) and share its compiled keymap file. Each
// private mount namespace gets empty folders of its own there.
constexpr const char* kXFolders[] = {"/tmp/.X11-unix", "/var/lib/xkb"};

std::optional<std::string> mountPrivateXFolders() {
  for (const char* folder : kXFolders) {
    std::error_code ignored;
    std::filesystem::create_directories(folder, ignored);
    if (::mount("tmpfs", folder, "tmpfs", MS_NOSUID | MS_NODEV, "mode=1777") != 0)
      return std::string("no private ") + folder + ": " + std::strerror(errno);
  }
  return std::nullopt;
}

}  // namespace

std::vector<std::string> privateXFolders() {
  return {std::begin(kXFolders), std::end(kXFolders)};
}

void reexecInPrivateNamespaces(int argc, char** argv) {
  if (std::getenv(kInside)) {
    if (runProgram({"ip", "link", "set", "lo", "up"}).status != 0) {
      whyOutside() = "the private loopback interface did not come up";
      return;
    }
    if (auto failed = mountPrivateXFolders()) {
      whyOutside() = std::move(failed);
      return;
    }
    whyOutside().reset();
    return;
  }
  if (::geteuid() != 0) {
    whyOutside() = "needs root for network and mount namespaces of its own";
    return;
  }
  const std::string self = std::filesystem::read_symlink("/proc/self/exe");
  std::vector<std::string> line{"unshare", "--net", "--mount", "--propagation",
                                "private", "--",    self};
  for (int i = 1; i < argc; ++i) line.emplace_back(argv[i]);
  std::vector<char*> args;
  for (auto& word : line) args.push_back(word.data());
  args.push_back(nullptr);
  ::setenv(kInside, "1", 1);
  std::fflush(nullptr);
  ::execvp("unshare", args.data());
  ::unsetenv(kInside);
  whyOutside() = std::string("unshare did not run: ") + std::strerror(errno);
}

std::optional<std::string> outsidePrivateNamespaces() {
  return whyOutside();
}

}  // namespace brindlet::testsupport
