#include "session/PaneDisplay.h"

#include <gtest/gtest.h>

#include "streaming/DisplayError.h"

namespace brindlet::session {
namespace {

// The largest side is taken whole; one pixel more, or a side far beyond what 32 bits hold, is
// refused with the pixels it asked for (saturated, never wrapped).
TEST(PaneDisplay, SidesBeyondTheLimitAreRefused) {
  protocol::Hello hello;
  hello.device = "iPhone15,2";
  hello.name = "Office iPhone";
  const auto largest = displayConfig(hello, protocol::Pane{2730.6, 10, 3});  // 8191.8 pixels
  EXPECT_EQ(largest.pointWidth, 4096u);
  EXPECT_EQ(largest.name, "Office iPhone (Brindlet)");
  EXPECT_EQ(largest.serial, streaming::displaySerial("iPhone15,2/Office iPhone"));
  struct Case {
    double w, h;
    std::string error;
  };
  const Case cases[] = {
      {2731, 852, "invalidSize(width: 8193, height: 2556)"},
      {393, 1e12, "invalidSize(width: 1179, height: 4294967295)"},
  };
  for (const auto& c : cases) {
    try {
      displayConfig(hello, protocol::Pane{c.w, c.h, 3});
      ADD_FAILURE() << c.error;
    } catch (const streaming::DisplayError& e) {
      EXPECT_EQ(e.text(), c.error);
    }
  }
}

}  // namespace
}  // namespace brindlet::session
