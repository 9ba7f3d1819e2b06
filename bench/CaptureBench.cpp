// Screen capture on Xorg with the dummy driver at phone size, in one run:
// (a) a scrolling picture drawn at 60 fps onto the attached display, captured and encoded with
//     libx264 on 2 threads: capture to encoded output beside the frame interval, and submit to
//     encoded output through the pipeline beside libx264 encoding the same frames alone;
// (b) the BGRA to NV12 conversion capture makes beside memcpy of the same bytes;
// (c) the process's CPU over 3 s of a still screen with the stream running.
#include <benchmark/benchmark.h>
#include <libyuv/convert_from_argb.h>
#include <sys/resource.h>

#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XShm.h>
#include <sys/ipc.h>
#include <sys/shm.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <thread>

#include <boost/asio/io_context.hpp>

#include "BareX264.h"
#include "BenchSupport.h"
#include "PhoneDisplay.h"
#include "platform/linux/media/LibavVideoEncoder.h"
#include "platform/linux/x11/RandrDisplayBackend.h"
#include "platform/linux/x11/X11CaptureBackend.h"
#include "runtime/Log.h"
#include "streaming/DisplayStreamer.h"
#include "streaming/FakeDisplayBackend.h"
#include "streaming/VirtualDisplayManager.h"
#include "support/Ffmpeg.h"
#include "support/Loop.h"
#include "support/XServer.h"

extern "C" {
#include <libavutil/log.h>
}

namespace {

using namespace std::chrono_literals;
using namespace brindlet;
using Clock = std::chrono::steady_clock;
using streaming::EncodedFrame;
using streaming::PixelBuffer;

constexpr int kWidth = 1178, kHeight = 2556, kRate = 60, kThreads = 2;
// The picture scrolls by kStep rows a frame through kOffsets positions, then starts again.
constexpr int kOffsets = 30, kStep = 8, kTall = kHeight + kOffsets * kStep;
constexpr double kFrameIntervalMs = 1000.0 / kRate;

double secondsNow() {
  return std::chrono::duration<double>(Clock::now().time_since_epoch()).count();
}

// A tall testsrc2 picture in BGRA, as X keeps 32-bit pixels.
const std::vector<std::uint8_t>& tallPicture() {
  static const std::vector<std::uint8_t> picture = [] {
    const testsupport::TempDir dir;
    const std::string file = dir.file("tall.bgra");
    testsupport::runToEnd({"ffmpeg", "-hide_banner", "-nostdin", "-loglevel", "error", "-y", "-f",
                           "lavfi", "-i",
                           "testsrc2=size=" + std::to_string(kWidth) + "x" + std::to_string(kTall),
                           "-frames:v", "1", "-pix_fmt", "bgra", "-f", "rawvideo", file});
    std::FILE* in = std::fopen(file.c_str(), "rb");
    std::vector<std::uint8_t> bytes(std::size_t(kWidth) * kTall * 4);
    const std::size_t got = std::fread(bytes.data(), 1, bytes.size(), in);
    std::fclose(in);
    if (got != bytes.size()) throw std::runtime_error("ffmpeg gave too little");
    return bytes;
  }();
  return picture;
}

// Draws the scrolling picture onto the screen at (x, y) at 60 fps from a connection and thread of
// its own, through shared memory.
class Drawer {
 public:
  Drawer(const std::string& display, int x, int y) : thread_([=, this] { run(display, x, y); }) {}
  ~Drawer() {
    running_ = false;
    thread_.join();
  }
  int drawn() const { return drawn_; }

 private:
  void run(const std::string& name, int x, int y) {
    Display* d = XOpenDisplay(name.c_str());
    XShmSegmentInfo shm{};
    XImage* image = XShmCreateImage(d, DefaultVisual(d, 0), DefaultDepth(d, 0), ZPixmap, nullptr,
                                    &shm, kWidth, kTall);
    shm.shmid = shmget(IPC_PRIVATE, std::size_t(image->bytes_per_line) * kTall, IPC_CREAT | 0600);
    shm.shmaddr = image->data = static_cast<char*>(shmat(shm.shmid, nullptr, 0));
    shmctl(shm.shmid, IPC_RMID, nullptr);
    std::memcpy(image->data, tallPicture().data(), tallPicture().size());
    XShmAttach(d, &shm);
    GC gc = XCreateGC(d, DefaultRootWindow(d), 0, nullptr);
    auto next = Clock::now();
    for (int i = 0; running_; ++i) {
      XShmPutImage(d, DefaultRootWindow(d), gc, image, 0, (i % kOffsets) * kStep, x, y, kWidth,
                   kHeight, False);
      XSync(d, False);
      drawn_ = i + 1;
      next += std::chrono::nanoseconds(1'000'000'000 / kRate);
      std::this_thread::sleep_until(next);
    }
    XShmDetach(d, &shm);
    XSync(d, False);
    XFreeGC(d, gc);
    shmdt(shm.shmaddr);
    image->data = nullptr;
    XDestroyImage(image);
    XCloseDisplay(d);
  }

  std::atomic<bool> running_{true};
  std::atomic<int> drawn_{0};
  std::thread thread_;
};

// Times each frame from its capture (its presentation time) to the encoder's output, and takes
// every frame at once, so that pacing never drops one.
class CaptureTimingSink final : public streaming::VideoSink {
 public:
  std::int64_t outstanding() const override { return 0; }
  bool send(EncodedFrame frame) override {
    const double ms = (secondsNow() - frame.time) * 1000;
    std::lock_guard lock(mutex_);
    latencies_.push_back(ms);
    return true;
  }
  void setDrained(Drained) override {}
  std::vector<double> latencies() const {
    std::lock_guard lock(mutex_);
    return latencies_;
  }

 private:
  mutable std::mutex mutex_;
  std::vector<double> latencies_;
};

// Tells the one who submitted a frame when its output came.
class OutputSignal final : public streaming::VideoSink {
 public:
  std::int64_t outstanding() const override { return 0; }
  bool send(EncodedFrame) override {
    std::lock_guard lock(mutex_);
    ++outputs_;
    last_ = Clock::now();
    out_.notify_one();
    return true;
  }
  void setDrained(Drained) override {}
  // Waits for the output after `count` outputs; when it came.
  Clock::time_point after(int count) {
    std::unique_lock lock(mutex_);
    out_.wait(lock, [&] { return outputs_ > count; });
    return last_;
  }
  int outputs() {
    std::lock_guard lock(mutex_);
    return outputs_;
  }

 private:
  std::mutex mutex_;
  std::condition_variable out_;
  int outputs_ = 0;
  Clock::time_point last_;
};

streaming::VideoEncoderFactory libx264() {
  return platform::media::LibavVideoEncoder::factory({kThreads});
}

const streaming::EncoderSettings kSettings{protocol::Codec::h264, kWidth, kHeight};

double cpuSeconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  const auto seconds = [](const timeval& t) { return double(t.tv_sec) + double(t.tv_usec) / 1e6; };
  return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

struct StreamFigures {
  std::vector<double> captureToEncoded;  // ms
  int drawn = 0;
  double movingSeconds = 0;
  std::int64_t encodedMoving = 0, encodedStill = 0;
  double stillCpuCores = 0;
} streamed;

void runStream() {
  bench::PhoneDisplay phone(kWidth, kHeight);
  auto& x = phone.x;
  auto& loop = phone.loop;
  const auto id = phone.id;
  const auto shown = phone.shown;

  auto streamer = streaming::DisplayStreamer::make(
      libx264(), std::make_shared<platform::X11CaptureBackend>(x.display()));
  auto sink = std::make_shared<CaptureTimingSink>();
  const auto idle = [&](std::chrono::milliseconds span) {
    testing::runUntil(
        loop, [] { return false; }, span);
  };
  {
    Drawer drawer(x.display(), shown.x, shown.y);
    idle(300ms);  // the drawing is under way
    const auto start = Clock::now();
    testing::runUntilDone(loop, streamer->start(kSettings, sink, id));
    idle(5s);
    streamed.movingSeconds = std::chrono::duration<double>(Clock::now() - start).count();
    streamed.drawn = drawer.drawn();
  }
  idle(500ms);  // the last changes are captured and encoded
  streamed.encodedMoving = streamer->pipeline()->stats().encoded;
  const double cpuBefore = cpuSeconds();
  const auto stillStart = Clock::now();
  idle(3s);
  streamed.stillCpuCores =
      (cpuSeconds() - cpuBefore) / std::chrono::duration<double>(Clock::now() - stillStart).count();
  streamed.encodedStill = streamer->pipeline()->stats().encoded - streamed.encodedMoving;
  testing::runUntilDone(loop, streamer->stop());
  streamed.captureToEncoded = sink->latencies();
}

// The frames as the scrolling picture gives them, converted as capture converts them.
std::vector<std::shared_ptr<PixelBuffer>> scrolledFrames() {
  const std::size_t size = PixelBuffer::byteSize(kWidth, kHeight, kWidth);
  auto pool = runtime::BufferPool::make(size, 0, kOffsets);
  std::vector<std::shared_ptr<PixelBuffer>> frames;
  for (int i = 0; i < kOffsets; ++i) {
    auto frame = std::make_shared<PixelBuffer>(pool->acquire(), kWidth, kHeight, kWidth);
    libyuv::ARGBToNV12(tallPicture().data() + std::size_t(i) * kStep * kWidth * 4, kWidth * 4,
                       frame->mutablePlaneY().data(), kWidth, frame->mutablePlaneUV().data(),
                       kWidth, kWidth, kHeight);
    frames.push_back(std::move(frame));
  }
  return frames;
}

// Frame by frame in turns, so that both see the same load from the rest of the machine: the
// frames submitted to a pipeline, each waited for, and the same frames to libx264 alone.
std::vector<double> pipelineLatencies, bareLatencies;

void runPipelineBesideBare(int count) {
  const auto frames = scrolledFrames();
  auto signal = std::make_shared<OutputSignal>();
  auto pipeline = streaming::VideoPipeline::make(kSettings, signal, libx264());
  bench::BareX264 x264(kWidth, kHeight, kRate, kThreads);
  const auto ms = [](Clock::duration d) {
    return std::chrono::duration<double, std::milli>(d).count();
  };
  for (int i = 0; i < count; ++i) {
    const auto& frame = frames[std::size_t(i % kOffsets)];
    const auto start = Clock::now();
    x264.encode(*frame, i, [&](std::size_t) { bareLatencies.push_back(ms(Clock::now() - start)); });
    const int before = signal->outputs();
    const auto submitted = Clock::now();
    pipeline->submit(frame, {i, kRate});
    pipelineLatencies.push_back(ms(signal->after(before) - submitted));
  }
}

void BM_BgraToNv12(benchmark::State& state) {
  const auto& picture = tallPicture();
  std::vector<std::uint8_t> nv12(PixelBuffer::byteSize(kWidth, kHeight, kWidth));
  for (auto _ : state) {
    libyuv::ARGBToNV12(picture.data(), kWidth * 4, nv12.data(), kWidth,
                       nv12.data() + std::size_t(kWidth) * kHeight, kWidth, kWidth, kHeight);
    benchmark::DoNotOptimize(nv12.data());
  }
  state.SetBytesProcessed(std::int64_t(state.iterations()) * kWidth * kHeight * 4);
}

void BM_MemcpyOfTheSameBytes(benchmark::State& state) {
  const auto& picture = tallPicture();
  const std::size_t bytes = std::size_t(kWidth) * kHeight * 4;
  std::vector<std::uint8_t> copy(bytes);
  for (auto _ : state) {
    std::memcpy(copy.data(), picture.data(), bytes);
    benchmark::DoNotOptimize(copy.data());
  }
  state.SetBytesProcessed(std::int64_t(state.iterations()) * std::int64_t(bytes));
}

BENCHMARK(BM_BgraToNv12)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_MemcpyOfTheSameBytes)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
  av_log_set_level(AV_LOG_ERROR);
  runtime::Log::setThreshold(runtime::LogLevel::info);
  tallPicture();
  runStream();
  runPipelineBesideBare(kRate * 5);
  auto& figures = bench::runAll(argc, argv);

  using bench::percentile;
  std::printf(
      "Capture %dx%d on Xorg-dummy, a picture scrolling at %d fps, libx264 balanced on %d "
      "threads:\n",
      kWidth, kHeight, kRate, kThreads);
  std::printf("  drawn %d pictures in %.1f s, encoded %lld frames (%.1f fps)\n", streamed.drawn,
              streamed.movingSeconds, static_cast<long long>(streamed.encodedMoving),
              double(streamed.encodedMoving) / streamed.movingSeconds);
  const double p50 = percentile(streamed.captureToEncoded, 0.5);
  std::printf(
      "  (a) capture -> encoded: p50 %.2f ms, p95 %.2f ms; frame interval %.2f ms (goal: p50 <= "
      "%.1f ms)\n",
      p50, percentile(streamed.captureToEncoded, 0.95), kFrameIntervalMs, kFrameIntervalMs);
  const double ours = percentile(pipelineLatencies, 0.5);
  const double bare = percentile(bareLatencies, 0.5);
  std::printf(
      "      submit -> encoded through the pipeline: p50 %.2f ms; libx264 alone on the same "
      "frames: p50 %.2f ms: %+.1f %% (goal: <= +10 %%)\n",
      ours, bare, (bench::ratio(ours, bare) - 1) * 100);
  const double convert = figures["BM_BgraToNv12"].bytesPerSecond;
  const double copy = figures["BM_MemcpyOfTheSameBytes"].bytesPerSecond;
  std::printf(
      "  (b) BGRA -> NV12: %.0f MiB/s of BGRA; memcpy of the same bytes: %.0f MiB/s: %.2fx (goal: "
      ">= 0.5x)\n",
      convert / bench::kMiB, copy / bench::kMiB, bench::ratio(convert, copy));
  std::printf(
      "  (c) still screen, stream running: %.3f core over 3 s (goal: <= 0.05 core); frames "
      "encoded meanwhile: %lld (goal: 0)\n",
      streamed.stillCpuCores, static_cast<long long>(streamed.encodedStill));
  return 0;
}
