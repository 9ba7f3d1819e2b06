#pragma once

#include <memory>
#include <string>
#include <vector>

#include "desktop/WindowSystem.h"
#include "support/XServer.h"

namespace brindlet::deck::testing {

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
void startWindowManager(testsupport::XServer& server);

// Whether the server holds any key down, for any client.
bool anyKeyDown(const std::string& display);

}  // namespace brindlet::deck::testing
