#include "session/PaneDisplay.h"

#include <gtest/gtest.h>

#include "streaming/DisplayError.h"

namespace brindlet::session {
namespace {

protocol::Hello office() {
  protocol::Hello hello;
  hello.device = "iPhone15,2";
  hello.name = "Office iPhone";
  return hello;
}

TEST(PaneDisplay, PanesBecomeEvenScale2Displays) {
  struct Case {
    double w, h;
    std::int64_t scale;
    std::uint32_t pointWidth, pointHeight;
    std::int32_t encoderWidth, encoderHeight;
  };
  const Case cases[] = {
      {402.5, 874, 3, 604, 1311, 1208, 2622},  // 1207.5 rounds up
      {393, 852, 3, 589, 1278, 1178, 2556},    // 1179 pixels lose their odd one
      {393, 852, 2, 393, 852, 786, 1704},
      {2730.6, 10, 3, 4096, 15, 8192, 30},  // 8191.8 rounds to the largest side taken
      {0, 0, 2, 0, 0, 0, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.w);
    protocol::Pane pane{c.w, c.h, c.scale};
    const auto config = displayConfig(office(), pane);
    EXPECT_EQ(config.pointWidth, c.pointWidth);
    EXPECT_EQ(config.pointHeight, c.pointHeight);
    EXPECT_EQ(config.scale, 2u);
    EXPECT_EQ(config.refreshRate, 60.0);
    const auto settings =
        encoderSettings(config, protocol::Codec::h264, streaming::VideoQuality::fast);
    EXPECT_EQ(settings.width, c.encoderWidth);
    EXPECT_EQ(settings.height, c.encoderHeight);
  }
}

TEST(PaneDisplay, NamesAndNumbersTheDisplayAfterThePhone) {
  const auto config = displayConfig(office(), protocol::Pane{393, 852, 3});
  EXPECT_EQ(config.name, "Office iPhone (Brindlet)");
  EXPECT_EQ(config.serial, streaming::displaySerial("iPhone15,2/Office iPhone"));
  EXPECT_EQ(clientID(office()), "iPhone15,2/Office iPhone");
  const auto settings =
      encoderSettings(config, protocol::Codec::hevc, streaming::VideoQuality::best);
  EXPECT_EQ(settings, (streaming::EncoderSettings{protocol::Codec::hevc, 1178, 2556,
                                                  streaming::VideoQuality::best, 60, 120, 2.0}));
  EXPECT_EQ(displayReady(config, 7, protocol::Codec::hevc),
            (protocol::DisplayReady{589, 1278, 2, 7, protocol::Codec::hevc, 60}));
}

TEST(PaneDisplay, SidesBeyondTheLimitAreRefused) {
  struct Case {
    double w, h;
    std::string error;
  };
  const Case cases[] = {
      {2731, 852, "invalidSize(width: 8193, height: 2556)"},
      {393, 1e12, "invalidSize(width: 1179, height: 4294967295)"},  // no u32 wrap-around
  };
  for (const auto& c : cases) {
    try {
      displayConfig(office(), protocol::Pane{c.w, c.h, 3});
      ADD_FAILURE() << c.error;
    } catch (const streaming::DisplayError& e) {
      EXPECT_EQ(e.text(), c.error);
    }
  }
}

}  // namespace
}  // namespace brindlet::session
