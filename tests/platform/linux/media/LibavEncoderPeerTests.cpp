// The encoder on libx264 / libx265, its streams read back by ffprobe and ffmpeg.
#include <gtest/gtest.h>

#include <condition_variable>
#include <cstring>
#include <fstream>
#include <mutex>
#include <set>
#include <sstream>

#include <boost/asio/io_context.hpp>

#include "platform/linux/media/LibavVideoEncoder.h"
#include "runtime/Log.h"
#include "runtime/Task.h"
#include "support/Ffmpeg.h"
#include "support/Loop.h"
#include "support/TempDir.h"

extern "C" {
#include <libavutil/error.h>
#include <libavutil/log.h>
}

namespace brindlet::platform::media {
namespace {

using namespace std::chrono_literals;
using protocol::Codec;
using protocol::MediaTime;
using runtime::Bytes;
using streaming::EncodedFrame;
using streaming::EncoderError;
using streaming::EncoderSettings;
using streaming::PixelBuffer;
using streaming::SharedPixelBuffer;
using Lines = std::vector<std::string>;
using streaming::VideoQuality;

constexpr int kWidth = 64;
constexpr int kHeight = 48;

const char* nameOf(Codec codec) {
  return codec == Codec::hevc ? "hevc" : "h264";
}

std::vector<SharedPixelBuffer> pictures(int width, int height, int count) {
  std::vector<SharedPixelBuffer> out;
  const std::size_t size = PixelBuffer::byteSize(width, height, width);
  auto pool = runtime::BufferPool::make(size, 0, std::size_t(count));
  for (const auto& bytes : testsupport::testPictures(width, height, count)) {
    auto buffer = std::make_shared<PixelBuffer>(pool->acquire(), width, height, width);
    // The UV plane follows the Y plane, as in ffmpeg's file.
    std::memcpy(buffer->mutablePlaneY().data(), bytes.data(), bytes.size());
    out.push_back(std::move(buffer));
  }
  return out;
}

// What came out for one frame; the buffer itself goes back to the encoder's pool.
struct Output {
  Bytes data;
  bool isKeyframe = false;
  double time = 0;
  bool oneOff = false;
};

// An encoder on libavcodec and what it put out, from its own thread. With `hold` the frames
// themselves are kept, buffers and all, as a link that never completes would keep them.
class Recorder {
 public:
  explicit Recorder(EncoderSettings settings, bool hold = false)
      : hold_(hold), encoder_(settings, [this](EncodedFrame f) { add(std::move(f)); }, {1}) {}

  LibavVideoEncoder& encoder() { return encoder_; }
  bool waitFor(std::size_t count, std::chrono::milliseconds timeout = 10s) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return outputs_.size() >= count; });
  }
  // Every frame queued so far, once out.
  std::vector<Output> finish() {
    brindlet::testing::runUntilDone(loop_, encoder_.completeFrames());
    std::lock_guard lock(mutex_);
    return outputs_;
  }
  void release() {
    std::lock_guard lock(mutex_);
    held_.clear();
  }

 private:
  void add(EncodedFrame frame) {
    const auto bytes = frame.data.view();
    std::lock_guard lock(mutex_);
    outputs_.push_back(
        {{bytes.begin(), bytes.end()}, frame.isKeyframe, frame.time, frame.data.isOneOff()});
    if (hold_) held_.push_back(std::move(frame));
    changed_.notify_all();
  }

  const bool hold_;
  // Outlives the encoder's thread, which may still be signalling it when the answer is in.
  boost::asio::io_context loop_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<Output> outputs_;
  std::vector<EncodedFrame> held_;
  LibavVideoEncoder encoder_;
};

std::string writeStream(const testsupport::TempDir& dir, const std::string& name,
                        const std::vector<Output>& frames) {
  const std::string file = dir.file(name);
  std::ofstream out(file, std::ios::binary);
  for (const auto& f : frames)
    out.write(reinterpret_cast<const char*>(f.data.data()), std::streamsize(f.data.size()));
  return file;
}

bool isIDR(Codec codec, int type) {
  return codec == Codec::h264 ? type == 5 : type == 19 || type == 20;
}
std::vector<int> parameterSetTypes(Codec codec) {
  return codec == Codec::h264 ? std::vector<int>{7, 8} : std::vector<int>{32, 33, 34};
}

class LibavEncoder : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    av_log_set_level(AV_LOG_ERROR);
    pictures_ = pictures(kWidth, kHeight, 60);
  }
  static EncoderSettings settingsFor(Codec codec) {
    return {codec, kWidth, kHeight, VideoQuality::balanced, 60, 120, 2.0};
  }
  static inline std::vector<SharedPixelBuffer> pictures_;
};

TEST_F(LibavEncoder, KeyframesAreIDRsWithParameterSetsWhereAskedOrDue) {
  struct Case {
    const char* name;
    int frames;
    MediaTime step;
    std::set<int> forced;
    std::set<int> keyframes;
  };
  const Case cases[] = {
      // 1/120 s apart: the 120-frame rule counts from the last keyframe, forced or not.
      {"forced and every 120 frames", 260, {1, 120}, {7, 50}, {0, 7, 50, 170}},
      // 0.5 s apart: 2.0 s of media time since the last keyframe.
      {"every 2 s", 13, {1, 2}, {}, {0, 4, 8, 12}},
      {"forced within 2 s", 13, {1, 2}, {2}, {0, 2, 6, 10}},
  };
  const testsupport::TempDir dir;
  for (const Codec codec : {Codec::h264, Codec::hevc}) {
    for (const auto& c : cases) {
      const std::string name = std::string(nameOf(codec)) + " " + c.name;
      Recorder recorder(settingsFor(codec));
      for (int i = 0; i < c.frames; ++i) {
        recorder.encoder().encode(pictures_[std::size_t(i) % pictures_.size()],
                                  {c.step.value * i, c.step.timescale}, c.forced.contains(i));
      }
      const auto frames = recorder.finish();
      ASSERT_EQ(frames.size(), std::size_t(c.frames)) << name;
      std::set<int> keyframes;
      for (int i = 0; i < c.frames; ++i) {
        if (frames[i].isKeyframe) keyframes.insert(i);
        EXPECT_NEAR(frames[i].time, double(c.step.value * i) / c.step.timescale, 1e-5) << name;
      }
      EXPECT_EQ(keyframes, c.keyframes) << name;

      const std::string file = writeStream(dir, name + "." + nameOf(codec), frames);
      EXPECT_EQ(testsupport::countFrames(file), c.frames) << name;
      const std::string flags = testsupport::probe(file, {"-show_entries", "packet=flags"});
      std::istringstream lines(flags);
      int i = 0;
      for (std::string line; std::getline(lines, line); ++i) {
        EXPECT_EQ(line.starts_with("K"), keyframes.contains(i)) << name << " packet " << i;
      }
      EXPECT_EQ(i, c.frames) << name;
      const auto traced = testsupport::traceHeaders(file);
      ASSERT_EQ(traced.size(), std::size_t(c.frames)) << name;
      for (int p = 0; p < c.frames; ++p) {
        const auto& types = traced[std::size_t(p)].nalTypes;
        const bool idr =
            std::any_of(types.begin(), types.end(), [&](int t) { return isIDR(codec, t); });
        EXPECT_EQ(idr, keyframes.contains(p)) << name << " packet " << p;
        const auto sets = parameterSetTypes(codec);
        const bool leadsWithSets =
            types.size() > sets.size() && std::equal(sets.begin(), sets.end(), types.begin());
        EXPECT_EQ(leadsWithSets, idr) << name << " packet " << p;
      }
      for (const int k : keyframes) {
        const std::string alone =
            writeStream(dir, "alone." + std::string(nameOf(codec)), {frames[std::size_t(k)]});
        EXPECT_FALSE(frames[std::size_t(k)].oneOff) << name;
        EXPECT_EQ(testsupport::countFrames(alone), 1) << name << " keyframe " << k;
      }
      EXPECT_NO_THROW(testsupport::runToEnd(
          {"ffmpeg", "-nostdin", "-xerror", "-v", "error", "-i", file, "-f", "null", "-"}))
          << name;
      EXPECT_EQ(testsupport::probe(file, {"-show_entries", "stream=color_space,color_range"}),
                "tv,smpte170m\n")
          << name;
      // High is the ceiling for H.264; the tools of the fastest preset fit in less, which x264
      // then declares.
      EXPECT_EQ(testsupport::probe(file, {"-show_entries", "stream=profile"}),
                codec == Codec::h264 ? "Constrained Baseline\n" : "Main\n")
          << name;
      // A keyframe's first unit, right behind the first start code, is a parameter set.
      for (const int k : keyframes) {
        const Bytes& data = frames[std::size_t(k)].data;
        ASSERT_GT(data.size(), 5u) << name;
        EXPECT_EQ(Bytes(data.begin(), data.begin() + 4), (Bytes{0, 0, 0, 1})) << name;
        const int type = codec == Codec::h264 ? data[4] & 0x1F : (data[4] >> 1) & 0x3F;
        EXPECT_EQ(type, parameterSetTypes(codec).front()) << name << " keyframe " << k;
      }
    }
  }
}

TEST_F(LibavEncoder, AFramesOutputComesWithNothingSubmittedAfterIt) {
  for (const Codec codec : {Codec::h264, Codec::hevc}) {
    Recorder recorder(settingsFor(codec));
    for (std::size_t i = 0; i < 3; ++i) {
      recorder.encoder().encode(pictures_[i], {std::int64_t(i), 60}, false);
      EXPECT_TRUE(recorder.waitFor(i + 1)) << nameOf(codec) << " frame " << i;
    }
  }
}

TEST_F(LibavEncoder, AnOddWidthFailsCreation) {
  for (const Codec codec : {Codec::h264, Codec::hevc}) {
    runtime::LogCapture log;
    EncoderSettings settings = settingsFor(codec);
    settings.width = kWidth + 1;
    try {
      Recorder recorder(settings);
      ADD_FAILURE() << nameOf(codec) << ": an odd width must fail";
    } catch (const EncoderError& e) {
      EXPECT_EQ(e.kind(), EncoderError::Case::sessionCreation) << nameOf(codec);
      EXPECT_LT(e.status(), 0) << nameOf(codec);
      EXPECT_EQ(log.messages("capture", runtime::LogLevel::error),
                std::vector<std::string>{"Encoder session creation failed: " +
                                         std::to_string(e.status())})
          << nameOf(codec);
    }
  }
}

TEST_F(LibavEncoder, AQualityChangeTakesEffectOnTheRunningStream) {
  const auto big = pictures(320, 240, 60);
  for (const Codec codec : {Codec::h264, Codec::hevc}) {
    EncoderSettings settings = settingsFor(codec);
    settings.width = 320;
    settings.height = 240;
    settings.quality = VideoQuality::best;
    // So many frames a second that both qualities bind the rate control at this size.
    settings.frameRate = 960;
    runtime::LogCapture log;
    Recorder recorder(settings);
    const int half = 60;
    for (int i = 0; i < 2 * half; ++i) {
      // Frames queued before the change keep the old rate.
      if (i == half) recorder.encoder().setQuality(VideoQuality::fast);
      recorder.encoder().encode(big[std::size_t(i % half)], {i, settings.frameRate}, false);
    }
    const auto frames = recorder.finish();
    ASSERT_EQ(frames.size(), std::size_t(2 * half));
    // Bytes of the last half second of each quality, once the rate control has settled.
    auto bytes = [&](int from) {
      std::size_t total = 0;
      for (int i = from; i < from + half / 2; ++i) total += frames[std::size_t(i)].data.size();
      return total;
    };
    EXPECT_LT(bytes(half + half / 2), bytes(half / 2) * 3 / 4) << nameOf(codec);
    // The stream starts afresh at the change.
    EXPECT_TRUE(frames[half].isKeyframe) << nameOf(codec);
    EXPECT_EQ(recorder.encoder().quality(), VideoQuality::fast) << nameOf(codec);
    EXPECT_EQ(log.messages("capture", runtime::LogLevel::info), Lines{"Encoder quality now fast"})
        << nameOf(codec);
  }
}

TEST_F(LibavEncoder, EncodeRefusesWhatItCannotTake) {
  const auto pool = runtime::BufferPool::make(PixelBuffer::byteSize(32, 32, 32), 0, 1);
  const auto small = std::make_shared<PixelBuffer>(pool->acquire(), 32, 32, 32);
  struct Case {
    const char* name;
    SharedPixelBuffer buffer;
    MediaTime time;
  };
  const Case cases[] = {
      {"wrong size", small, {0, 60}},
      {"no time", pictures_[0], MediaTime::invalid()},
      {"no picture", nullptr, {0, 60}},
  };
  for (const auto& c : cases) {
    runtime::LogCapture log;
    Recorder recorder(settingsFor(Codec::h264));
    try {
      recorder.encoder().encode(c.buffer, c.time, false);
      ADD_FAILURE() << c.name << ": a refused frame must throw";
    } catch (const EncoderError& e) {
      EXPECT_EQ(e, EncoderError::encode(AVERROR(EINVAL))) << c.name;
    }
    EXPECT_EQ(log.messages("capture", runtime::LogLevel::error),
              Lines{"Encoder frame submission failed: " + std::to_string(AVERROR(EINVAL))})
        << c.name;
    EXPECT_TRUE(recorder.finish().empty()) << c.name;
  }
}

TEST_F(LibavEncoder, CreationTakesTheStreamsSettings) {
  struct Case {
    const char* name;
    Codec codec;
    VideoQuality quality;
    int frameRate;
  };
  const Case cases[] = {
      {"h264", Codec::h264, VideoQuality::balanced, 60},
      {"hevc", Codec::hevc, VideoQuality::balanced, 60},
      {"best", Codec::h264, VideoQuality::best, 60},
      {"frame rate 0 taken as 1", Codec::h264, VideoQuality::fast, 0},
  };
  for (const auto& c : cases) {
    runtime::LogCapture log;
    EncoderSettings settings = settingsFor(c.codec);
    settings.quality = c.quality;
    settings.frameRate = c.frameRate;
    Recorder recorder(settings);
    EXPECT_EQ(recorder.encoder().settings(), settings) << c.name;
    EXPECT_EQ(recorder.encoder().quality(), c.quality) << c.name;
    recorder.encoder().encode(pictures_[0], {0, 60}, false);
    recorder.encoder().encode(pictures_[1], {1, 60}, false);
    const auto frames = recorder.finish();
    ASSERT_EQ(frames.size(), 2u) << c.name;
    EXPECT_TRUE(frames[0].isKeyframe) << c.name;
    EXPECT_FALSE(frames[1].isKeyframe) << c.name;
    EXPECT_EQ(log.messages("capture", runtime::LogLevel::error), Lines{}) << c.name;
  }
}

TEST(LibavEncoderRate, EachQualityHasItsAverageAndDataRateLimit) {
  struct Case {
    VideoQuality quality;
    std::int64_t bitRate;
    double limitBytes;
  };
  const Case cases[] = {{VideoQuality::best, 18000000, 3375000.0},
                        {VideoQuality::balanced, 10000000, 1875000.0},
                        {VideoQuality::fast, 5000000, 937500.0}};
  for (const auto& c : cases) {
    const auto rate = LibavVideoEncoder::rateOf(c.quality);
    EXPECT_EQ(rate.bitRate, c.bitRate);
    EXPECT_DOUBLE_EQ(rate.limitBytes, c.limitBytes);
    EXPECT_DOUBLE_EQ(rate.limitSeconds, 1.0);
  }
}

// Output buffers that are all still on their way: the newest access unit is dropped with its
// line, and the picture after it starts afresh.
TEST_F(LibavEncoder, AFullOutputPoolDropsTheNewestFrameAndTheNextIsAKeyframe) {
  runtime::LogCapture log;
  EncoderSettings settings = settingsFor(Codec::h264);
  settings.frameRate = 16;  // four buffers
  Recorder recorder(settings, true);
  for (int i = 0; i < 6; ++i) recorder.encoder().encode(pictures_[std::size_t(i)], {i, 16}, false);
  auto frames = recorder.finish();
  ASSERT_EQ(frames.size(), 4u);
  EXPECT_EQ(log.messages("capture", runtime::LogLevel::debug),
            (Lines{"Dropped frame at 0.250000", "Dropped frame at 0.312500"}));
  recorder.release();
  recorder.encoder().encode(pictures_[6], {6, 16}, false);
  recorder.encoder().encode(pictures_[7], {7, 16}, false);
  frames = recorder.finish();
  ASSERT_EQ(frames.size(), 6u);
  EXPECT_TRUE(frames[4].isKeyframe);
  EXPECT_FALSE(frames[5].isKeyframe);
}

}  // namespace
}  // namespace brindlet::platform::media
