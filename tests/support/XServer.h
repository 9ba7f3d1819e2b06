#pragma once

#include <sys/types.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "support/ChildProcess.h"
#include "support/TempDir.h"

namespace brindlet::testsupport {

// A private X server for one test: Xvfb, or Xorg with the dummy video driver where real RandR
// outputs (DUMMY0 to DUMMY15) are needed. The server picks the first free display number itself
// and holds it with its lock file, so tests and engineers running servers at once never share
// one. Its files live in a temporary folder; it and everything started on it are stopped by
// process id.
class XServer {
 public:
  enum class Kind { xvfb, xorgDummy };

  // `arguments` go to the server as well ("-extension", "MIT-SHM" turns one off).
  explicit XServer(Kind kind = Kind::xvfb, const std::vector<std::string>& arguments = {});
  ~XServer();
  XServer(const XServer&) = delete;
  XServer& operator=(const XServer&) = delete;

  const std::string& display() const { return display_; }  // ":N"
  pid_t pid() const { return server_->pid(); }

  // Starts openbox and waits until it has announced itself (_NET_SUPPORTING_WM_CHECK); once.
  void startWindowManager();
  pid_t windowManagerPid() const { return windowManager_ ? windowManager_->pid() : -1; }

  // Starts an X client on this display; it is stopped when the value goes or with the server.
  std::unique_ptr<ChildProcess> start(const std::vector<std::string>& argv) const;
  // Runs an X client on this display to its end.
  ProgramResult run(const std::vector<std::string>& argv) const;

  // Ends the server at once, as a crash would; clients see their connection drop. The socket
  // file the server made goes with it (a killed server leaves it behind, with no one listening).
  void kill();

 private:
  std::vector<std::string> onDisplay(const std::vector<std::string>& argv) const;

  TempDir dir_;
  std::string display_;
  std::unique_ptr<ChildProcess> server_;
  std::unique_ptr<ChildProcess> windowManager_;
  std::string socketFile_;
  ino_t socketInode_ = 0;  // of the socket file the server made; 0 when it made none seen here
};

// Whether `path` here is the very file that `process` sees at the same path in its own namespaces.
bool sameFileAs(pid_t process, const std::string& path);

// One monitor as `xrandr --listmonitors` shows it.
struct Monitor {
  std::string name;
  int width = 0, height = 0, mmWidth = 0, mmHeight = 0, x = 0, y = 0;
  std::string output;
};

std::vector<Monitor> monitors(const XServer& x);
std::optional<Monitor> monitorNamed(const XServer& x, const std::string& name);

}  // namespace brindlet::testsupport
