#include "desktop/FakeWindowSystem.h"

#include <gtest/gtest.h>

#include <boost/asio/io_context.hpp>

#include "runtime/Task.h"
#include "support/Loop.h"

namespace brindlet::desktop {
namespace {

WindowInfo window(WindowId id, std::string windowClass, std::optional<std::int32_t> pid) {
  WindowInfo w;
  w.id = id;
  w.windowClass = std::move(windowClass);
  w.pid = pid;
  w.extents = {2, 2, 20, 2};
  w.geometry = {10, 40, 300, 200};
  return w;
}

TEST(WindowInfo, AppIdNeedsClassAndPidAndFrameCountsDecorations) {
  EXPECT_EQ(window(1, "Gedit", 7).appId(), "Gedit");
  EXPECT_EQ(window(1, "", 7).appId(), std::nullopt);
  EXPECT_EQ(window(1, "Gedit", std::nullopt).appId(), std::nullopt);
  EXPECT_EQ(window(1, "Gedit", 7).frame(), (Rect{8, 20, 304, 222}));
}

TEST(DesktopError, TextsNameTheCase) {
  EXPECT_EQ(DesktopError::noSuchWindow(42).text(), "noSuchWindow(window: 42)");
  EXPECT_EQ(DesktopError::requestFailed("ConfigureWindow", 8).text(),
            "requestFailed(request: ConfigureWindow, code: 8)");
  EXPECT_EQ(DesktopError::disconnected(":3").text(), "disconnected(display: \":3\")");
}

TEST(FakeWindowSystem, ActsOnTheSnapshotAsAWindowManagerWould) {
  boost::asio::io_context io;
  FakeWindowSystem fake;
  WindowSnapshot start = fake.snapshot();
  start.windows = {window(1, "A", 1), window(2, "B", 2)};
  fake.set(start);
  int changes = 0;
  auto subscription = fake.subscribe([&](const WindowSnapshot&) { ++changes; });

  brindlet::testing::runUntilDone(io, fake.activate(1));
  EXPECT_EQ(fake.snapshot().active, WindowId{1});
  EXPECT_EQ(fake.snapshot().windows.back().id, WindowId{1});
  brindlet::testing::runUntilDone(io, fake.moveResize(2, {0, 0, 400, 300}));
  EXPECT_EQ(fake.snapshot().find(2)->frame(), (Rect{0, 0, 400, 300}));
  EXPECT_EQ(changes, 2);

  fake.failNext(DesktopError::disconnected(":0"));
  EXPECT_THROW(brindlet::testing::runUntilDone(io, fake.raise(2)), DesktopError);
  EXPECT_THROW(brindlet::testing::runUntilDone(io, fake.raise(9)), DesktopError);
  EXPECT_EQ(fake.calls().size(), 4u);
}

}  // namespace
}  // namespace brindlet::desktop
