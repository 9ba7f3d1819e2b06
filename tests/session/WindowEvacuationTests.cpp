#include "session/WindowEvacuation.h"

#include <gtest/gtest.h>

namespace brindlet::session {
namespace {

using desktop::Monitor;
using desktop::Rect;
using desktop::RootPoint;
using desktop::WindowInfo;

// A 1920×1080 primary monitor, a 1280×1024 one left of it, and the phone's 1178×2556 right of it.
const Rect kMain{0, 0, 1920, 1080}, kLeft{-1280, 0, 1280, 1024}, kPhone{1920, 0, 1178, 2556};

WindowInfo window(desktop::WindowId id, Rect geometry, std::vector<std::string> types = {}) {
  WindowInfo w;
  w.id = id;
  w.types = std::move(types);
  w.geometry = geometry;
  return w;
}

TEST(WindowEvacuation, TheRefugeIsTheMonitorUnderThePointerElseThePrimary) {
  const std::vector<Monitor> remaining{{kLeft, false, {2}}, {kMain, true, {1}}};
  const struct {
    const char* name;
    std::vector<Monitor> remaining;
    std::optional<RootPoint> pointer;
    std::optional<Rect> refuge;
  } cases[] = {
      {"pointer on the left monitor", remaining, RootPoint{-10, 500}, kLeft},
      {"pointer on the going display", remaining, RootPoint{2000, 500}, kMain},
      {"no primary: the first",
       {{kLeft, false, {2}}, {kMain, false, {1}}},
       RootPoint{2000, 5},
       kLeft},
      {"nothing remains", {}, RootPoint{0, 0}, std::nullopt},
  };
  for (const auto& c : cases) EXPECT_EQ(refuge(c.remaining, c.pointer), c.refuge) << c.name;
}

TEST(WindowEvacuation, MovesNormalWindowsMostlyOnTheGoingDisplay) {
  auto framed = window(9, {2100, 300, 400, 300});
  framed.extents = {2, 2, 20, 2};
  const struct {
    const char* name;
    WindowInfo window;
    std::optional<Rect> moved;
  } cases[] = {
      {"wholly on it: same place on the refuge", window(1, {2008, 100, 800, 600}),
       Rect{88, 100, 800, 600}},
      {"taller than the refuge: cut and pushed in", window(2, {1950, 1500, 600, 1400}),
       Rect{30, 0, 600, 1080}},
      {"decorations counted", framed, Rect{178, 280, 404, 322}},
      {"a dialog stays", window(4, {2100, 100, 300, 200}, {"dialog"}), std::nullopt},
      {"half on it stays", window(6, {1720, 100, 400, 200}), std::nullopt},
      {"mostly on it moves", window(7, {1820, 100, 400, 200}, {"normal", "dialog"}),
       Rect{0, 100, 400, 200}},
  };
  for (const auto& c : cases) {
    desktop::WindowSnapshot snapshot;
    snapshot.windows = {c.window};
    const auto moves = evacuationMoves(snapshot, kPhone, kMain);
    if (!c.moved) {
      EXPECT_TRUE(moves.empty()) << c.name;
      continue;
    }
    ASSERT_EQ(moves.size(), 1u) << c.name;
    EXPECT_EQ(moves[0].first, c.window.id) << c.name;
    EXPECT_EQ(moves[0].second, *c.moved) << c.name;
  }
}

}  // namespace
}  // namespace brindlet::session
