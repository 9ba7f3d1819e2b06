#include "streaming/VideoPipeline.h"

#include <gtest/gtest.h>

#include <sstream>

#include <boost/asio/io_context.hpp>

#include "runtime/Log.h"
#include "runtime/Task.h"
#include "streaming/FakeVideoEncoder.h"
#include "streaming/FakeVideoSink.h"
#include "support/Loop.h"

namespace brindlet::streaming {

void PrintTo(const VideoPipeline::Stats& s, std::ostream* out) {
  *out << "{encoded " << s.encoded << ", dropped " << s.dropped << ", keyframes " << s.keyframes
       << ", one-off buffers " << s.oneOffBuffers << "}";
}

namespace {

using Lines = std::vector<std::string>;
using Stats = VideoPipeline::Stats;

protocol::MediaTime at(int second) {
  return {second * 600, 600};
}

// A pipeline on the fake encoder and sink, all on the test thread: captured frames go in at
// once, the encoder's output waits until the test runs the encoder's loop, the link drains when
// the test says so. Each step adds to a trace what it made the encoder take ("2K": frame 2,
// forced to a keyframe) and the sink send ("+K300000", "+D20000").
struct PipelineHarness {
  boost::asio::io_context encoderLoop;
  runtime::LogCapture log;
  std::shared_ptr<FakeVideoEncoder::Script> script = std::make_shared<FakeVideoEncoder::Script>();
  std::shared_ptr<FakeVideoSink> sink = std::make_shared<FakeVideoSink>();
  std::shared_ptr<VideoPipeline> pipeline;
  std::string trace;
  std::size_t requestsSeen = 0, framesSeen = 0;

  PipelineHarness(VideoQuality quality, int frameRate) {
    script->outputs = encoderLoop.get_executor();
    EncoderSettings settings{protocol::Codec::h264, 1178, 2556, quality, frameRate};
    pipeline = VideoPipeline::make(settings, sink, FakeVideoEncoder::factory(script));
  }

  // Steps, separated by ";": "out N" (the sink's outstanding bytes), "cap T" or "cap A-B"
  // (captured frames at those seconds), "run" (the encoder's output), "drained", "flush",
  // "quality best", "refuse" (quality changes), "fail" (the next encode), "need" (a keyframe),
  // "toolarge N" (the link refuses frames of more bytes), "big" (keyframes of 400000 bytes, more
  // than the encoder's buffers hold).
  void play(const std::string& steps) {
    std::istringstream in(steps);
    for (std::string step; std::getline(in, step, ';');) {
      std::istringstream words(step);
      std::string verb, arg;
      words >> verb >> arg;
      if (verb == "out") {
        sink->setOutstanding(std::stoll(arg));
      } else if (verb == "cap") {
        const auto dash = arg.find('-');
        const int first = std::stoi(arg.substr(0, dash));
        const int last = dash == std::string::npos ? first : std::stoi(arg.substr(dash + 1));
        for (int t = first; t <= last; ++t) pipeline->submit(nullptr, at(t));
      } else if (verb == "run") {
        testing::drain(encoderLoop);
      } else if (verb == "drained") {
        sink->drain();
      } else if (verb == "flush") {
        brindlet::testing::runUntilDone(encoderLoop, pipeline->flush());
      } else if (verb == "quality") {
        try {
          pipeline->setQuality(*videoQualityFrom(arg));
        } catch (const EncoderError&) {
          trace += " refused";
        }
      } else if (verb == "refuse") {
        script->qualityError = EncoderError::property("AverageBitRate", -12900);
      } else if (verb == "fail") {
        script->encodeError = EncoderError::encode(-12902);
      } else if (verb == "toolarge") {
        sink->refuseLarger(std::stoul(arg));
      } else if (verb == "big") {
        script->sizeOf = [](const FakeVideoEncoder::Request& r) -> std::size_t {
          return r.forceKeyframe ? 400000 : 20000;
        };
      } else if (verb == "need") {
        pipeline->requestKeyframe();
      } else {
        FAIL() << "unknown step " << step;
      }
      record();
    }
  }

  void record() {
    const auto requests = script->requests();
    for (; requestsSeen < requests.size(); ++requestsSeen) {
      const auto& r = requests[requestsSeen];
      trace += " " + std::to_string(r.time.value / 600) + (r.forceKeyframe ? "K" : "");
    }
    const auto frames = sink->frames();
    for (; framesSeen < frames.size(); ++framesSeen) {
      const auto& f = frames[framesSeen];
      trace += (f.isKeyframe ? " +K" : " +D") + std::to_string(f.data.size());
    }
  }
};

std::string congested(long outstanding, long limit) {
  return "Sink congested (" + std::to_string(outstanding) + " bytes outstanding, limit " +
         std::to_string(limit) + "); dropping frames";
}
const std::string drainedLine = "Sink drained; sending the last dropped frame as a keyframe";
Lines droppedAt(std::initializer_list<int> seconds) {
  Lines lines;
  for (int s : seconds) lines.push_back("Dropped frame at " + std::to_string(s) + ".000000");
  return lines;
}

TEST(VideoPipeline, Pacing) {
  struct Row {
    const char* name;
    VideoQuality quality;
    int frameRate;
    std::string steps, trace;
    Stats stats;
    Lines info, debug;
  };
  const auto balanced = VideoQuality::balanced;
  const Row rows[] = {
      {"equal admits; the first frame is a forced keyframe",
       balanced,
       60,
       "out 41666; cap 1; run",
       " 1K +K300000",
       {1, 0, 1},
       {},
       {}},
      {"one byte more drops; before any keyframe the limit alone counts",
       balanced,
       60,
       "out 41667; cap 1",
       "",
       {0, 1, 0},
       {congested(41667, 41666)},
       droppedAt({1})},
      {"a keyframe adds its size to the limit",
       VideoQuality::fast,
       60,
       "cap 1; run; out 320832; cap 2; out 320833; cap 3",
       " 1K +K300000 2",
       {1, 1, 1},
       {congested(320833, 320832)},
       droppedAt({3})},
      {"a keyframe goes out whatever is outstanding",
       balanced,
       60,
       "cap 1; out 5000000; run",
       " 1K +K300000",
       {1, 0, 1},
       {},
       {}},
      {"ten drops: one congestion line, the tenth goes out as a keyframe on drain",
       balanced,
       60,
       "out 50000; cap 1-10; drained; run",
       " 10K +K300000",
       {1, 10, 1},
       {congested(50000, 41666), drainedLine},
       droppedAt({1, 2, 3, 4, 5, 6, 7, 8, 9, 10})},
      {"a drain with nothing pending changes nothing",
       balanced,
       60,
       "cap 1; run; drained; cap 2; run",
       " 1K +K300000 2 +D20000",
       {2, 0, 1},
       {},
       {}},
      {"a delta dropped at output forces the next keyframe without a line",
       balanced,
       60,
       "cap 1; run; drained; cap 2; out 400000; run; out 0; cap 3; run",
       " 1K +K300000 2 3K +K300000",
       {2, 1, 2},
       {},
       {}},
      {"balanced to best moves the limit and keeps the allowance",
       balanced,
       60,
       "cap 1; run; out 341667; cap 2; quality best; out 375000; cap 3; out 375001; cap 4",
       " 1K +K300000 3K",
       {1, 2, 1},
       {congested(341667, 341666), congested(375001, 375000)},
       droppedAt({2, 4})},
      {"a refused quality keeps the old limit",
       balanced,
       60,
       "cap 1; run; refuse; quality best; out 341667; cap 2",
       " 1K +K300000 refused",
       {1, 1, 1},
       {congested(341667, 341666)},
       droppedAt({2})},
      {"a flush completes the encoder's frames and discards the pending one",
       balanced,
       60,
       "cap 1; out 50000; cap 2; flush; drained",
       " 1K +K300000",
       {1, 1, 1},
       {congested(50000, 41666)},
       droppedAt({2})},
      {"a frame rate of 0 counts as 1",
       balanced,
       0,
       "out 2500000; cap 1; out 2500001; cap 2",
       " 1K",
       {0, 1, 0},
       {congested(2500001, 2500000)},
       droppedAt({2})},
      {"a refused encode counts as dropped and forces the next keyframe",
       balanced,
       60,
       "cap 1; run; fail; cap 2; cap 3; run",
       " 1K +K300000 3K +K300000",
       {2, 1, 2},
       {},
       {}},
      {"a refused encode of the drained frame counts as dropped",
       balanced,
       60,
       "out 50000; cap 1; fail; drained; cap 2; run",
       " 2K +K300000",
       {1, 2, 1},
       {congested(50000, 41666), drainedLine},
       droppedAt({1})},
      {"the phone's keyframe request forces the next frame only",
       balanced,
       60,
       "cap 1; run; drained; need; cap 2; cap 3; run",
       " 1K +K300000 2K 3 +K300000 +D20000",
       {3, 0, 2},
       {},
       {}},
      {"a keyframe the link refuses leaves the allowance as it was",
       balanced,
       60,
       "toolarge 100000; cap 1; run; out 41666; cap 2; out 41667; cap 3",
       " 1K +K300000 2",
       {1, 1, 1},
       {congested(41667, 41666)},
       droppedAt({3})},
      {"a frame larger than the encoder's buffers takes one of its own, counted",
       balanced,
       60,
       "big; cap 1; run; drained; cap 2; run",
       " 1K +K400000 2 +D20000",
       {2, 0, 1, 1},
       {},
       {}},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    PipelineHarness h(row.quality, row.frameRate);
    h.play(row.steps);
    EXPECT_EQ(h.trace, row.trace);
    EXPECT_EQ(h.pipeline->stats(), row.stats);
    EXPECT_EQ(h.log.messages("capture", runtime::LogLevel::info), row.info);
    EXPECT_EQ(h.log.messages("capture", runtime::LogLevel::debug), row.debug);
  }
}

TEST(VideoPipeline, Lifetime) {
  boost::asio::io_context encoderLoop;
  auto script = std::make_shared<FakeVideoEncoder::Script>();
  script->outputs = encoderLoop.get_executor();
  auto sink = std::make_shared<FakeVideoSink>();
  int earlierCallbacks = 0;
  sink->setDrained([&] { ++earlierCallbacks; });

  // A refused encoder leaves the sink as it was.
  script->creationError = EncoderError::sessionCreation(-12903);
  try {
    VideoPipeline::make({}, sink, FakeVideoEncoder::factory(script));
    ADD_FAILURE() << "made a pipeline without an encoder";
  } catch (const EncoderError& e) {
    EXPECT_EQ(e, EncoderError::sessionCreation(-12903));
  }
  sink->drain();
  EXPECT_EQ(earlierCallbacks, 1);

  // A pipeline takes the drained callback over and lets go of it when it is gone.
  script->creationError.reset();
  auto pipeline = VideoPipeline::make({}, sink, FakeVideoEncoder::factory(script));
  sink->setOutstanding(50000);
  pipeline->submit(nullptr, at(1));
  pipeline.reset();
  sink->drain();
  testing::drain(encoderLoop);
  EXPECT_EQ(earlierCallbacks, 1);
  EXPECT_TRUE(script->requests().empty());
}

}  // namespace
}  // namespace brindlet::streaming
