// Phone-sized moving pictures through the encoder on libx264, from encode to output, beside the
// same frames through libavcodec called directly with the same settings; and the bit rate the
// stream keeps over 10 s of media time.
#include <benchmark/benchmark.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <map>
#include <mutex>
#include <stdexcept>

#include "BareX264.h"
#include "BenchSupport.h"
#include "platform/linux/media/LibavVideoEncoder.h"
#include "support/Ffmpeg.h"

extern "C" {
#include <libavutil/log.h>
}

namespace {

using brindlet::platform::media::LibavVideoEncoder;
using brindlet::protocol::Codec;
using brindlet::streaming::EncodedFrame;
using brindlet::streaming::EncoderSettings;
using brindlet::streaming::PixelBuffer;
using brindlet::streaming::SharedPixelBuffer;
using brindlet::streaming::VideoQuality;
using Clock = std::chrono::steady_clock;

constexpr int kWidth = 1178;
constexpr int kHeight = 2556;
constexpr int kRate = 60;
constexpr int kThreads = 2;

struct Outcome {
  std::vector<double> latencies;  // ms
  std::vector<std::size_t> sizes;
};
std::map<std::string, Outcome> outcomes;

// One second of moving pictures, shown again and again.
const std::vector<SharedPixelBuffer>& pictures() {
  static const std::vector<SharedPixelBuffer> all = [] {
    std::vector<SharedPixelBuffer> out;
    const std::size_t size = PixelBuffer::byteSize(kWidth, kHeight, kWidth);
    auto pool = brindlet::runtime::BufferPool::make(size, 0, kRate);
    for (auto& bytes : brindlet::testsupport::testPictures(kWidth, kHeight, kRate, kRate)) {
      auto buffer = std::make_shared<PixelBuffer>(pool->acquire(), kWidth, kHeight, kWidth);
      // The UV plane follows the Y plane, as in ffmpeg's file.
      std::memcpy(buffer->mutablePlaneY().data(), bytes.data(), bytes.size());
      out.push_back(std::move(buffer));
    }
    return out;
  }();
  return all;
}

double msSince(Clock::time_point start) {
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

// The encoder; each frame waits for the one before it to come out, so the time is its own.
class Ours {
 public:
  explicit Ours(Codec codec)
      : encoder_({codec, kWidth, kHeight, VideoQuality::balanced, kRate, 120, 2.0},
                 [this](EncodedFrame frame) { done(frame); }, {kThreads}) {}

  void step(int i, Outcome& outcome) {
    std::unique_lock lock(mutex_);
    const std::size_t before = outcome_.sizes.size();
    submitted_ = Clock::now();
    encoder_.encode(pictures()[std::size_t(i % kRate)], {i, kRate}, false);
    out_.wait(lock, [&] { return outcome_.sizes.size() > before; });
    outcome.latencies.push_back(outcome_.latencies.back());
    outcome.sizes.push_back(outcome_.sizes.back());
  }

 private:
  void done(const EncodedFrame& frame) {
    const double ms = msSince(submitted_);
    std::lock_guard lock(mutex_);
    outcome_.latencies.push_back(ms);
    outcome_.sizes.push_back(frame.data.size());
    out_.notify_one();
  }

  std::mutex mutex_;
  std::condition_variable out_;
  Outcome outcome_;
  Clock::time_point submitted_;
  LibavVideoEncoder encoder_;
};

// The same frames and settings straight into libavcodec on this thread.
class Bare {
 public:
  void step(int i, Outcome& outcome) {
    const auto start = Clock::now();
    x264_.encode(*pictures()[std::size_t(i % kRate)], i, [&](std::size_t size) {
      outcome.latencies.push_back(msSince(start));
      outcome.sizes.push_back(size);
    });
  }

 private:
  brindlet::bench::BareX264 x264_{kWidth, kHeight, kRate, kThreads};
};

// Frame by frame in turns, so that both see the same load from the rest of the machine.
void BM_H264BesideBare(benchmark::State& state) {
  Ours ours(Codec::h264);
  Bare bare;
  for (auto _ : state) {
    for (int i = 0; i < kRate * 10; ++i) {
      bare.step(i, outcomes["bare"]);
      ours.step(i, outcomes["ours"]);
    }
  }
}

void BM_HEVC(benchmark::State& state) {
  Ours ours(Codec::hevc);
  for (auto _ : state) {
    for (int i = 0; i < kRate * 2; ++i) ours.step(i, outcomes["hevc"]);
  }
}

BENCHMARK(BM_H264BesideBare)->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_HEVC)->Iterations(1)->Unit(benchmark::kMillisecond);

// Average bits a second over the whole stream, and the highest over any one second.
std::pair<double, double> bitRates(const std::vector<std::size_t>& sizes) {
  double total = 0;
  for (auto s : sizes) total += double(s);
  double highest = 0;
  for (std::size_t i = 0; i + kRate <= sizes.size(); ++i) {
    double window = 0;
    for (std::size_t j = i; j < i + kRate; ++j) window += double(sizes[j]);
    highest = std::max(highest, window * 8);
  }
  return {total * 8 * kRate / double(sizes.size()), highest};
}

}  // namespace

int main(int argc, char** argv) {
  av_log_set_level(AV_LOG_ERROR);
  pictures();
  brindlet::bench::runAll(argc, argv);
  using brindlet::bench::percentile;
  const Outcome& ours = outcomes["ours"];
  const Outcome& bare = outcomes["bare"];
  const Outcome& hevc = outcomes["hevc"];
  std::printf("H.264 balanced %dx%d, %d threads, encode to output:\n", kWidth, kHeight, kThreads);
  for (const double p : {0.5, 0.95}) {
    const double a = percentile(ours.latencies, p);
    const double b = percentile(bare.latencies, p);
    std::printf("  p%.0f: encoder %.2f ms, bare libavcodec %.2f ms: %+.1f %%%s\n", p * 100, a, b,
                (a / b - 1) * 100, p == 0.5 ? " (goal: <= +10 %)" : "");
  }
  const auto [average, highest] = bitRates(ours.sizes);
  std::printf(
      "  bit rate over %.0f s: %.0f bit/s, target 10000000: %+.1f %% (goal: within 10 %%)\n",
      double(ours.sizes.size()) / kRate, average, (average / 1e7 - 1) * 100);
  std::printf("  highest 1 s window: %.0f bit/s, %.2fx the average (goal: <= 1.5x)\n", highest,
              highest / average);
  const auto [hevcAverage, hevcHighest] = bitRates(hevc.sizes);
  std::printf(
      "HEVC balanced, %zu frames: p50 %.2f ms, p95 %.2f ms, %.0f bit/s, highest 1 s %.2fx\n",
      hevc.sizes.size(), percentile(hevc.latencies, 0.5), percentile(hevc.latencies, 0.95),
      hevcAverage, hevcHighest / hevcAverage);
  return 0;
}
