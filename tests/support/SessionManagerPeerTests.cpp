// A Qt app on the xcb platform under the test session manager: it registers, states its
// properties when saved, and quits when told to die, as under a desktop's session manager.

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "support/SessionManager.h"
#include "support/XServer.h"

namespace brindlet::testsupport {
namespace {

using namespace std::chrono_literals;

constexpr auto kTimeout = 20s;

std::unique_ptr<ChildProcess> startClient(const XServer& x, const SessionManager& manager,
                                          const std::vector<std::string>& arguments) {
  std::vector<std::string> command{"env", "QT_QPA_PLATFORM=xcb"};
  for (const auto& variable : manager.environment()) command.push_back(variable);
  command.push_back(QT_SESSION_CLIENT);
  command.insert(command.end(), arguments.begin(), arguments.end());
  return x.start(command);
}

struct Logout {
  const char* name;
  std::vector<std::string> arguments;  // the client's
  bool saveFirst;
};

// Each row: the client registers and answers the save every new client gets; after an optional
// save for the logout, Die reaches the application as a Quit event and the app ends normally.
TEST(SessionManager, AQtAppRegistersAndQuitsOnDie) {
  const std::vector<Logout> rows{
      {"no window", {}, false},
      {"a window", {"window"}, false},
      {"saved for the logout first", {}, true},
  };
  XServer x;
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    SessionManager manager(SESSION_MANAGER_PROGRAM);
    const auto app = startClient(x, manager, row.arguments);

    const auto ids = manager.registered(1, kTimeout);
    ASSERT_EQ(ids.size(), 1u) << manager.output() << app->output();
    const std::string& id = ids[0];
    ASSERT_TRUE(manager.waitFor("saved " + id, kTimeout)) << manager.output();
    EXPECT_TRUE(app->waitFor("save state", kTimeout)) << app->output();
    if (row.saveFirst) {
      manager.save();
      EXPECT_TRUE(manager.waitFor("saved " + id, kTimeout)) << manager.output();
      EXPECT_TRUE(app->waitFor("commit data 0", kTimeout)) << app->output();
      EXPECT_NE(manager.output().find("property " + id + " RestartStyleHint 0\n"),
                std::string::npos)
          << manager.output();
    }
    manager.die();
    EXPECT_EQ(app->waitExit(kTimeout), 0) << app->output();
    EXPECT_NE(app->output().find("quit event\nabout to quit\nexit 0\n"), std::string::npos)
        << app->output();
    EXPECT_TRUE(manager.waitFor("closed " + id, kTimeout)) << manager.output();
  }
}

// An app restored into a session this manager does not know is given a new id; one Die reaches
// every client.
TEST(SessionManager, AnUnknownSessionGetsANewIdAndDieEndsEveryClient) {
  XServer x;
  SessionManager manager(SESSION_MANAGER_PROGRAM);
  const auto fresh = startClient(x, manager, {});
  const auto restored = startClient(x, manager, {"-session", "1unknown_1"});

  const auto ids = manager.registered(2, kTimeout);
  ASSERT_EQ(ids.size(), 2u) << manager.output();
  EXPECT_NE(ids[0], ids[1]);
  EXPECT_EQ(manager.output().find("1unknown"), std::string::npos) << manager.output();
  manager.die();
  EXPECT_EQ(fresh->waitExit(kTimeout), 0) << fresh->output();
  EXPECT_EQ(restored->waitExit(kTimeout), 0) << restored->output();
  for (const auto& id : ids) EXPECT_TRUE(manager.waitFor("closed " + id, kTimeout)) << id;
}

}  // namespace
}  // namespace brindlet::testsupport
