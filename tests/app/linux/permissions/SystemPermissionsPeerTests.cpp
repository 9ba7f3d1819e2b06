// The permissions against real X servers, with extensions switched off, and against a private
// accessibility bus whose switch is read back with gdbus.

#include "app/linux/permissions/SystemPermissions.h"

#include <cstdlib>

#include <gtest/gtest.h>

#include "platform/linux/atspi/AtspiTree.h"
#include "support/AccessibilityBus.h"
#include "support/Loop.h"
#include "support/XServer.h"

namespace brindlet::platform {
namespace {

using namespace std::chrono_literals;
using app::Permission;
using testsupport::XServer;

struct Checker {
  // The loop outlives the workers, which answer on it.
  boost::asio::io_context io;
  std::shared_ptr<AtspiTree> tree = std::make_shared<AtspiTree>();
  SystemPermissions permissions;

  explicit Checker(const XServer& server) : permissions(server.display(), tree) {}
  bool granted(Permission permission) {
    return testing::runUntilDone(io, permissions.isGranted(permission));
  }
  void request(Permission permission) {
    testing::runUntilDone(io, permissions.request(permission));
  }
};

TEST(SystemPermissions, ScreenRecordingNeedsTheCaptureExtensions) {
  const XServer plain;
  const XServer withoutShm(XServer::Kind::xvfb, {"-extension", "MIT-SHM"});
  EXPECT_TRUE(Checker(plain).granted(Permission::screenRecording));
  EXPECT_FALSE(Checker(withoutShm).granted(Permission::screenRecording));
}

// The check names what the display lacks, for the screen card.
TEST(SystemPermissions, TheCheckNamesTheCaptureExtensionsTheDisplayLacks) {
  const struct {
    std::vector<std::string> arguments;
    std::vector<std::string> lacking;
  } rows[] = {
      {{}, {}},
      {{"-extension", "MIT-SHM"}, {"MIT-SHM"}},
      {{"-extension", "MIT-SHM", "-extension", "DAMAGE"}, {"MIT-SHM", "DAMAGE"}},
  };
  for (const auto& row : rows) {
    const XServer server(XServer::Kind::xvfb, row.arguments);
    Checker checker(server);
    EXPECT_EQ(checker.granted(Permission::screenRecording), row.lacking.empty());
    EXPECT_EQ(checker.permissions.lacking(Permission::screenRecording), row.lacking);
    EXPECT_TRUE(checker.permissions.lacking(Permission::accessibility).empty());
  }
}

TEST(SystemPermissions, AccessibilityNeedsXTestAndTheBusSwitchedOn) {
  const XServer server;
  const XServer withoutXTest(XServer::Kind::xvfb, {"-extension", "XTEST"});
  testsupport::AccessibilityBus bus(server.display());
  Checker checker(server);
  EXPECT_FALSE(checker.granted(Permission::accessibility));
  checker.request(Permission::accessibility);
  EXPECT_TRUE(checker.granted(Permission::accessibility));
  const auto read = testsupport::runProgram(
      {"gdbus", "call", "--session", "--dest", "org.a11y.Bus", "--object-path", "/org/a11y/bus",
       "--method", "org.freedesktop.DBus.Properties.Get", "org.a11y.Status", "IsEnabled"});
  EXPECT_EQ(read.output, "(<true>,)\n");
  // Requesting again changes nothing.
  checker.request(Permission::accessibility);
  EXPECT_TRUE(checker.granted(Permission::accessibility));

  Checker noXTest(withoutXTest);
  EXPECT_FALSE(noXTest.granted(Permission::accessibility));
  EXPECT_TRUE(noXTest.granted(Permission::screenRecording));
}

TEST(SystemPermissions, WithoutAnAccessibilityBusRefusedWithinASecond) {
  const XServer server;
  const char* old = std::getenv("DBUS_SESSION_BUS_ADDRESS");
  const std::string saved = old ? old : "";
  setenv("DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent/bus", 1);
  Checker checker(server);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(checker.granted(Permission::accessibility));
  checker.request(Permission::accessibility);
  EXPECT_LT(std::chrono::steady_clock::now() - start, 1s);
  if (old) {
    setenv("DBUS_SESSION_BUS_ADDRESS", saved.c_str(), 1);
  } else {
    unsetenv("DBUS_SESSION_BUS_ADDRESS");
  }
}

TEST(SystemPermissions, NoDisplayGrantsNothing) {
  boost::asio::io_context io;
  SystemPermissions permissions(":4095", std::make_shared<AtspiTree>());
  EXPECT_FALSE(testing::runUntilDone(io, permissions.isGranted(Permission::screenRecording)));
}

}  // namespace
}  // namespace brindlet::platform
