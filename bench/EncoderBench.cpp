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

#include "BenchSupport.h"
#include "platform/linux/media/LibavCompressionSession.h"
#include "streaming/VideoEncoder.h"
#include "support/Ffmpeg.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/log.h>
}

namespace {

using brindlet::protocol::Codec;
using brindlet::streaming::EncodedFrame;
using brindlet::streaming::EncoderSettings;
using brindlet::streaming::PixelBuffer;
using brindlet::streaming::SharedPixelBuffer;
using brindlet::streaming::VideoEncoder;
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

// Each frame waits for the one before it to come out, so the time is the frame's own.
void BM_Encoder(benchmark::State& state, Codec codec, int frames) {
  std::mutex mutex;
  std::condition_variable out;
  Outcome outcome;
  Clock::time_point submitted;
  const EncoderSettings settings{codec, kWidth, kHeight, VideoQuality::balanced, kRate, 120, 2.0};
  VideoEncoder encoder(
      settings,
      [&](EncodedFrame frame) {
        const double ms = msSince(submitted);
        std::lock_guard lock(mutex);
        outcome.latencies.push_back(ms);
        outcome.sizes.push_back(frame.data.size());
        out.notify_one();
      },
      brindlet::platform::media::libavSessionFactory({kThreads}));
  for (auto _ : state) {
    for (int i = 0; i < frames; ++i) {
      std::unique_lock lock(mutex);
      submitted = Clock::now();
      encoder.encode(pictures()[std::size_t(i % kRate)], {i, kRate}, false);
      out.wait(lock, [&] { return outcome.latencies.size() == std::size_t(i + 1); });
    }
  }
  outcomes[codec == Codec::hevc ? "hevc" : "ours"] = std::move(outcome);
}

// The same frames and settings straight into libavcodec on this thread.
void BM_BareLibavcodec(benchmark::State& state) {
  const AVCodec* codec = avcodec_find_encoder_by_name("libx264");
  AVCodecContext* context = avcodec_alloc_context3(codec);
  context->width = kWidth;
  context->height = kHeight;
  context->pix_fmt = AV_PIX_FMT_NV12;
  context->time_base = {1, 90000};
  context->framerate = {kRate, 1};
  context->gop_size = 120;
  context->max_b_frames = 0;
  context->bit_rate = 10'000'000;
  context->rc_max_rate = 15'000'000;
  context->rc_buffer_size = 15'000'000;
  context->thread_count = kThreads;
  context->thread_type = FF_THREAD_SLICE;
  context->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
  context->colorspace = AVCOL_SPC_SMPTE170M;
  context->color_range = AVCOL_RANGE_MPEG;
  AVDictionary* options = nullptr;
  for (auto [key, value] : {std::pair{"preset", "ultrafast"},
                            {"tune", "zerolatency"},
                            {"profile", "high"},
                            {"forced-idr", "1"},
                            {"x264-params", "annexb=0:scenecut=0"}}) {
    av_dict_set(&options, key, value, 0);
  }
  if (avcodec_open2(context, codec, &options) < 0) state.SkipWithError("libx264 won't open");
  av_dict_free(&options);
  AVFrame* frame = av_frame_alloc();
  AVPacket* packet = av_packet_alloc();
  Outcome outcome;
  for (auto _ : state) {
    for (int i = 0; i < kRate * 10; ++i) {
      const PixelBuffer& picture = *pictures()[std::size_t(i % kRate)];
      const auto start = Clock::now();
      // Lent, not copied, as the encoder lends it.
      frame->buf[0] = av_buffer_create(
          const_cast<std::uint8_t*>(picture.planeY().data()), int(kWidth * kHeight * 3 / 2),
          [](void*, std::uint8_t*) {}, nullptr, AV_BUFFER_FLAG_READONLY);
      frame->format = AV_PIX_FMT_NV12;
      frame->width = kWidth;
      frame->height = kHeight;
      frame->data[0] = const_cast<std::uint8_t*>(picture.planeY().data());
      frame->data[1] = const_cast<std::uint8_t*>(picture.planeUV().data());
      frame->linesize[0] = frame->linesize[1] = kWidth;
      frame->pts = std::int64_t(i) * 90000 / kRate;
      avcodec_send_frame(context, frame);
      av_frame_unref(frame);
      while (avcodec_receive_packet(context, packet) == 0) {
        outcome.latencies.push_back(msSince(start));
        outcome.sizes.push_back(std::size_t(packet->size));
        av_packet_unref(packet);
      }
    }
  }
  av_packet_free(&packet);
  av_frame_free(&frame);
  avcodec_free_context(&context);
  outcomes["bare"] = std::move(outcome);
}

BENCHMARK(BM_BareLibavcodec)->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_Encoder, h264, Codec::h264, kRate * 10)
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_Encoder, hevc, Codec::hevc, kRate * 2)
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);

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
    std::printf(
        "  p%.0f: encoder %.2f ms, bare libavcodec %.2f ms: %+.1f %% (goal at p50: <= +10 %%)\n",
        p * 100, a, b, (a / b - 1) * 100);
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
