#include <gtest/gtest.h>

#include "streaming/VideoPipeline.h"
#include "streaming/VideoTypes.h"

namespace brindlet::streaming {
namespace {

TEST(VideoValues, QualityWordsRatesAndLimits) {
  struct Case {
    const char* word;
    std::optional<VideoQuality> quality;
    std::int64_t bitRate, bytesPerSecond, limitAt60;
  };
  const Case cases[] = {
      {"best", VideoQuality::best, 18'000'000, 2'250'000, 75'000},
      {"balanced", VideoQuality::balanced, 10'000'000, 1'250'000, 41'666},
      {"fast", VideoQuality::fast, 5'000'000, 625'000, 20'832},
      {"Best", std::nullopt, 0, 0, 0},
      {"best ", std::nullopt, 0, 0, 0},
      {"", std::nullopt, 0, 0, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.word);
    EXPECT_EQ(videoQualityFrom(c.word), c.quality);
    if (!c.quality) continue;
    EXPECT_EQ(rawValue(*c.quality), c.word);
    EXPECT_EQ(averageBitRate(*c.quality), c.bitRate);
    EXPECT_EQ(bytesPerSecond(*c.quality), c.bytesPerSecond);
    EXPECT_EQ(VideoPipeline::limitFor(*c.quality, 60), c.limitAt60);
  }
  // A frame rate below 1 would divide by zero: it counts as 1.
  EXPECT_EQ(VideoPipeline::limitFor(VideoQuality::balanced, 0), 2'500'000);
  EXPECT_EQ(VideoPipeline::limitFor(VideoQuality::balanced, -30), 2'500'000);
  EXPECT_EQ(VideoPipeline::limitFor(VideoQuality::fast, 7), 178'570);
}

TEST(VideoValues, Equality) {
  EncoderSettings settings{protocol::Codec::h264, 1178, 2556};
  auto longerInterval = settings;
  longerInterval.maxKeyFrameIntervalDuration = 2.5;
  EXPECT_EQ(settings, EncoderSettings(settings));
  EXPECT_NE(settings, longerInterval);

  // Errors compare by case and payload.
  EXPECT_EQ(EncoderError::property("AverageBitRate", 1),
            EncoderError::property("AverageBitRate", 1));
  EXPECT_NE(EncoderError::property("AverageBitRate", 1),
            EncoderError::property("AverageBitRate", 2));
  EXPECT_EQ(EncoderError::property("AverageBitRate", -12900).text(),
            "property(\"AverageBitRate\", -12900)");
  EXPECT_NE(EncoderError::encode(1), EncoderError::sessionCreation(1));
  EXPECT_NE(CaptureError::displayNotFound(1), CaptureError::windowNotFound(1));
  EXPECT_NE(StreamError::encoder(EncoderError::encode(1)),
            StreamError::encoder(EncoderError::encode(2)));
}

}  // namespace
}  // namespace brindlet::streaming
