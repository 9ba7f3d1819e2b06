#include "streaming/VideoEncoder.h"

#include <gtest/gtest.h>

#include <boost/asio/io_context.hpp>

#include "runtime/Log.h"
#include "runtime/Task.h"
#include "streaming/FakeCompressionSession.h"
#include "support/Loop.h"

namespace brindlet::streaming {
namespace {

using protocol::Codec;
using protocol::MediaTime;
using protocol::VideoFormat;
using runtime::Bytes;
using runtime::LogLevel;
using Key = CompressionProperty;
using Properties = std::vector<std::pair<Key, PropertyValue>>;
using Lines = std::vector<std::string>;

EncoderSettings settingsFor(Codec codec, int frameRate = 60) {
  return {codec, 64, 48, VideoQuality::balanced, frameRate, 120, 2.0};
}

// An encoder on a fake session; its frames and the capture lines it logged.
struct Harness {
  std::shared_ptr<FakeCompressionSession::Script> script =
      std::make_shared<FakeCompressionSession::Script>();
  runtime::LogCapture log;
  std::vector<EncodedFrame> frames;

  std::unique_ptr<VideoEncoder> make(EncoderSettings settings) {
    return std::make_unique<VideoEncoder>(
        settings, [this](EncodedFrame f) { frames.push_back(std::move(f)); },
        FakeCompressionSession::factory(script));
  }
  Lines errors() const { return log.messages("capture", LogLevel::error); }
  Lines infos() const { return log.messages("capture", LogLevel::info); }
};

// The error creation throws, if any.
std::optional<EncoderError> creationError(Harness& h, EncoderSettings settings) {
  try {
    h.make(settings);
  } catch (const EncoderError& e) {
    return e;
  }
  return std::nullopt;
}

Properties tuning(const char* profile, std::int64_t frameRate, std::int64_t bitRate,
                  double limitBytes) {
  return {{Key::realTime, true},
          {Key::profileLevel, std::string(profile)},
          {Key::allowFrameReordering, false},
          {Key::maxKeyFrameInterval, std::int64_t{120}},
          {Key::maxKeyFrameIntervalDuration, 2.0},
          {Key::expectedFrameRate, frameRate},
          {Key::averageBitRate, bitRate},
          {Key::dataRateLimits, std::vector<double>{limitBytes, 1.0}}};
}

TEST(VideoEncoder, CreationTunesTheSessionInOrderThenPreparesIt) {
  struct Case {
    const char* name;
    EncoderSettings settings;
    Properties expected;
  };
  EncoderSettings best = settingsFor(Codec::h264);
  best.quality = VideoQuality::best;
  const Case cases[] = {
      {"h264", settingsFor(Codec::h264), tuning("H264_High_AutoLevel", 60, 10000000, 1875000.0)},
      {"hevc", settingsFor(Codec::hevc), tuning("HEVC_Main_AutoLevel", 60, 10000000, 1875000.0)},
      {"best", best, tuning("H264_High_AutoLevel", 60, 18000000, 3375000.0)},
      {"frame rate 0 taken as 1", settingsFor(Codec::h264, 0),
       tuning("H264_High_AutoLevel", 1, 10000000, 1875000.0)},
  };
  for (const auto& c : cases) {
    Harness h;
    auto encoder = h.make(c.settings);
    EXPECT_EQ(h.script->properties, c.expected) << c.name;
    EXPECT_TRUE(h.script->prepared) << c.name;
    EXPECT_EQ(h.script->request->codec, c.settings.codec) << c.name;
    EXPECT_EQ(h.script->request->width, 64) << c.name;
    EXPECT_EQ(encoder->settings(), c.settings) << c.name;
    EXPECT_EQ(encoder->quality(), c.settings.quality) << c.name;
    EXPECT_EQ(h.errors(), Lines{}) << c.name;
  }
}

TEST(VideoEncoder, CreationStopsAtTheFirstFailure) {
  struct Case {
    std::string name;
    std::function<void(FakeCompressionSession::Script&)> script;
    EncoderError error;
    std::string line;
    std::size_t propertiesTried;
  };
  std::vector<Case> cases = {
      {"session refused", [](auto& s) { s.createStatus = -12902; },
       EncoderError::sessionCreation(-12902), "Encoder session creation failed: -12902", 0},
      {"no session", [](auto& s) { s.createNothing = true; }, EncoderError::sessionCreation(0),
       "Encoder session creation failed: 0", 0},
      {"prepare refused", [](auto& s) { s.prepareStatus = -22; },
       EncoderError::sessionCreation(-22), "Encoder session creation failed: -22", 8},
  };
  const Properties all = tuning("H264_High_AutoLevel", 60, 10000000, 1875000.0);
  for (std::size_t i = 0; i < all.size(); ++i) {
    const Key key = all[i].first;
    const auto status = -12900 - static_cast<std::int32_t>(i);
    const std::string text(keyText(key));
    cases.push_back({"refused " + text, [key, status](auto& s) { s.refusals[key] = status; },
                     EncoderError::property(text, status),
                     "Setting " + text + " failed: " + std::to_string(status), i + 1});
  }
  for (const auto& c : cases) {
    Harness h;
    c.script(*h.script);
    EXPECT_EQ(creationError(h, settingsFor(Codec::h264)), c.error) << c.name;
    EXPECT_EQ(h.errors(), Lines{c.line}) << c.name;
    EXPECT_EQ(h.script->properties.size(), c.propertiesTried) << c.name;
    EXPECT_EQ(h.script->prepared, c.name == "prepare refused") << c.name;
  }
}

const Bytes sps = {0x67, 0x64, 0x00, 0x1F};
const Bytes pps = {0x68, 0xEE, 0x3C};
const Bytes vps = {0x40, 0x01, 0x0C};
const Bytes hsps = {0x42, 0x01, 0x01};
const Bytes hpps = {0x44, 0x01, 0xC1};

Bytes cat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}
const Bytes sc = {0, 0, 0, 1};

TEST(VideoEncoder, SamplesBecomeAnnexBAccessUnits) {
  const auto h264 = std::make_shared<VideoFormat>(VideoFormat{Codec::h264, {sps, pps}, 4});
  const auto hevc = std::make_shared<VideoFormat>(VideoFormat{Codec::hevc, {vps, hsps, hpps}, 4});
  // Two units: a slice of 3 bytes and one of 1.
  const Bytes units = {0, 0, 0, 3, 0x65, 0x88, 0x84, 0, 0, 0, 1, 0x06};
  const Bytes annexB = cat({sc, {0x65, 0x88, 0x84}, sc, {0x06}});
  const Bytes overrun = {0, 0, 0, 9, 0x65, 0x88};
  auto sample = [](Bytes data, auto format, std::optional<bool> notSync) {
    return std::optional<CompressedSample>(CompressedSample{data, format, notSync, {3, 60}});
  };
  const std::string unconvertible = "Encoder produced a packet that could not be converted";
  struct Case {
    const char* name;
    Codec codec;
    std::int32_t status;
    std::optional<CompressedSample> sample;
    Bytes data;  // with keyframe and line: the frame, or the line and no frame
    bool keyframe;
    std::string line;
  };
  const Case cases[] = {
      {"h264, no sync information", Codec::h264, 0, sample(units, h264, std::nullopt),
       cat({sc, sps, sc, pps, annexB}), true, ""},
      {"h264, sync", Codec::h264, 0, sample(units, h264, false), cat({sc, sps, sc, pps, annexB}),
       true, ""},
      {"h264 delta", Codec::h264, 0, sample(units, h264, true), annexB, false, ""},
      {"hevc keyframe", Codec::hevc, 0, sample(units, hevc, std::nullopt),
       cat({sc, vps, sc, hsps, sc, hpps, annexB}), true, ""},
      {"lengths overrun", Codec::h264, 0, sample(overrun, h264, true), {}, false, unconvertible},
      {"no format", Codec::h264, 0, sample(units, nullptr, true), {}, false, unconvertible},
      {"other codec", Codec::hevc, 0, sample(units, h264, false), {}, false, unconvertible},
      {"failed", Codec::h264, -12911, std::nullopt, {}, false, "Encode callback failed: -12911"},
      {"dropped", Codec::h264, 0, std::nullopt, {}, false, "Encode callback failed: 0"},
  };
  for (const auto& c : cases) {
    Harness h;
    auto encoder = h.make(settingsFor(c.codec));
    h.script->output(c.status, c.sample);
    EXPECT_EQ(h.errors(), c.line.empty() ? Lines{} : Lines{c.line}) << c.name;
    ASSERT_EQ(h.frames.size(), c.line.empty() ? 1u : 0u) << c.name;
    if (!c.line.empty()) continue;
    EXPECT_EQ(h.frames[0].data, c.data) << c.name;
    EXPECT_EQ(h.frames[0].isKeyframe, c.keyframe) << c.name;
    EXPECT_DOUBLE_EQ(h.frames[0].time, 0.05) << c.name;
  }
}

TEST(VideoEncoder, QueuesFramesWithADurationOfOneFrameAndReportsRefusals) {
  auto pool = runtime::BufferPool::make(PixelBuffer::byteSize(64, 48, 64), 0, 1);
  const SharedPixelBuffer buffer = std::make_shared<PixelBuffer>(pool->acquire(), 64, 48, 64);
  for (const int frameRate : {30, 0}) {  // a rate below 1 is taken as 1
    Harness h;
    auto encoder = h.make(settingsFor(Codec::h264, frameRate));
    encoder->encode(buffer, {7, 600}, true);
    encoder->encode(buffer, {17, 600}, false);
    ASSERT_EQ(h.script->submissions.size(), 2u);
    const auto& first = h.script->submissions[0];
    EXPECT_EQ(first.buffer, buffer);
    EXPECT_EQ(first.time, (MediaTime{7, 600}));
    EXPECT_EQ(first.duration, (MediaTime{1, std::max(frameRate, 1)}));
    EXPECT_TRUE(first.forceKeyframe);
    EXPECT_FALSE(h.script->submissions[1].forceKeyframe);
    EXPECT_TRUE(h.frames.empty()) << "outputs come only from the session's thread";

    h.script->encodeStatus = -12902;
    try {
      encoder->encode(buffer, {27, 600}, false);
      ADD_FAILURE() << "a refused frame must throw";
    } catch (const EncoderError& e) {
      EXPECT_EQ(e, EncoderError::encode(-12902));
    }
    EXPECT_EQ(h.errors(), Lines{"Encoder frame submission failed: -12902"});

    boost::asio::io_context loop;
    brindlet::testing::runUntilDone(loop, encoder->completeFrames());
    EXPECT_EQ(h.script->completions, 1);
  }
}

TEST(VideoEncoder, QualityChangesSetTheBitRateThenTheLimit) {
  struct Case {
    const char* name;
    std::map<Key, std::int32_t> refusals;
    Properties tried;
    std::optional<EncoderError> error;
    VideoQuality after;
    Lines infos;
    Lines errors;
  };
  const PropertyValue rate = std::int64_t{5000000};
  const PropertyValue limits = std::vector<double>{937500.0, 1.0};
  const Case cases[] = {
      {"fast",
       {},
       {{Key::averageBitRate, rate}, {Key::dataRateLimits, limits}},
       std::nullopt,
       VideoQuality::fast,
       {"Encoder quality now fast"},
       {}},
      {"bit rate refused",
       {{Key::averageBitRate, -1}},
       {{Key::averageBitRate, rate}},
       EncoderError::property("AverageBitRate", -1),
       VideoQuality::balanced,
       {},
       {"Setting AverageBitRate failed: -1"}},
      {"limit refused",
       {{Key::dataRateLimits, -2}},
       {{Key::averageBitRate, rate}, {Key::dataRateLimits, limits}},
       EncoderError::property("DataRateLimits", -2),
       VideoQuality::balanced,
       {},
       {"Setting DataRateLimits failed: -2"}},
  };
  for (const auto& c : cases) {
    Harness h;
    auto encoder = h.make(settingsFor(Codec::h264));
    h.script->properties.clear();
    h.script->refusals = c.refusals;
    std::optional<EncoderError> error;
    try {
      encoder->setQuality(VideoQuality::fast);
    } catch (const EncoderError& e) {
      error = e;
    }
    EXPECT_EQ(error, c.error) << c.name;
    EXPECT_EQ(h.script->properties, c.tried) << c.name;
    EXPECT_EQ(encoder->quality(), c.after) << c.name;
    EXPECT_EQ(h.infos(), c.infos) << c.name;
    EXPECT_EQ(h.errors(), c.errors) << c.name;
  }
}

}  // namespace
}  // namespace brindlet::streaming
