#pragma once

#include <memory>
#include <string>
#include <vector>

#include <functional>

#include "desktop/WindowSystem.h"
#include "platform/linux/x11/X11EventPoster.h"
#include "support/XServer.h"

namespace brindlet::testsupport {

// Windows of this test's own process on a display, one per title, all of one class: two
// windows of one app.
class OwnWindows {
 public:
  OwnWindows(const std::string& display, const std::string& windowClass,
             const std::vector<std::string>& titles);
  ~OwnWindows();
  OwnWindows(const OwnWindows&) = delete;
  OwnWindows& operator=(const OwnWindows&) = delete;

  std::vector<desktop::WindowId> ids;

 private:
  struct Connection;
  std::unique_ptr<Connection> connection_;
};

// Starts openbox on the server and returns once it manages windows. openbox announces itself
// before its event loop runs, and a window mapped in between may never be managed (busy
// machines widen that gap): probe windows are mapped until one is.
void startWindowManager(XServer& server);

// Posts F13 until `reached` says a key came through, for at most 10 s; whether one did. A
// client reads the keymap from its first key event on, and keys posted before it listens or
// before the focus lands are lost.
bool keysReach(platform::X11EventPoster& poster, const std::function<bool()>& reached);

// Whether the server holds any key down, for any client.
bool anyKeyDown(const std::string& display);

}  // namespace brindlet::testsupport
