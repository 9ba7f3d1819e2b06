// Glass to wire on Xorg with the dummy driver at phone size: an X client changes a region of the
// phone's display at a known instant, and the time runs until the last byte of the frame that
// carries the change has been written to the link's socket (capture, libx264, the pipeline,
// LinkVideoSink, a loopback TCP link to a discarding reader). Beside it, in turns with it, the
// same changes captured and encoded by hand: XShmGetImage, BGRA to NV12 and libx264 called
// straight through libavcodec. libx264 runs on as many threads as the app lets it choose, and
// on 2; then all again with the process pinned to 2 of the CPUs it was given.
#include <libyuv/convert_from_argb.h>

#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XShm.h>
#include <sys/ipc.h>
#include <sys/shm.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <random>
#include <string>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>

#include "BareX264.h"
#include "BenchLoop.h"
#include "BenchSockets.h"
#include "BenchSupport.h"
#include "PhoneDisplay.h"
#include "platform/linux/media/LibavVideoEncoder.h"
#include "platform/linux/x11/X11CaptureBackend.h"
#include "runtime/Log.h"
#include "runtime/SocketByteStream.h"
#include "streaming/DisplayStreamer.h"
#include "streaming/LinkVideoSink.h"
#include "support/Loop.h"
#include "support/XServer.h"
#include "transport/FrameConnection.h"

extern "C" {
#include <libavutil/log.h>
}

namespace {

using namespace std::chrono_literals;
using namespace brindlet;
using Clock = std::chrono::steady_clock;
using streaming::EncodedFrame;
using streaming::PixelBuffer;

constexpr int kWidth = 1178, kHeight = 2556, kRate = 60;
// libx264's threads: 0 lets it choose, as the app does.
constexpr int kAppThreads = 0, kTwoThreads = 2;
// Changes per path, taken in turns of kChangesPerTurn: the stream runs only during its own turns,
// so that the bare path never shares the machine with it.
constexpr int kChanges = 300, kChangesPerTurn = 30;
constexpr double kFrameIntervalMs = 1000.0 / kRate;
// The changed region, inside the phone's display.
constexpr int kRegionX = 200, kRegionY = 900, kRegionSize = 400;

double secondsNow() {
  return std::chrono::duration<double>(Clock::now().time_since_epoch()).count();
}

// Forwards to the link's sink and notes, for each frame, its capture time and when the link had
// written it: the sink's outstanding bytes falling to 0 after it.
class WireTimingSink final : public streaming::VideoSink {
 public:
  explicit WireTimingSink(std::shared_ptr<streaming::LinkVideoSink> link)
      : link_(std::move(link)) {}

  std::int64_t outstanding() const override { return link_->outstanding(); }
  bool send(EncodedFrame frame) override {
    {
      std::lock_guard lock(mutex_);
      frames_.push_back({frame.time, 0});
    }
    return link_->send(std::move(frame));
  }
  void setDrained(Drained drained) override {
    link_->setDrained([this, drained = std::move(drained)] {
      const double now = secondsNow();
      {
        std::lock_guard lock(mutex_);
        for (auto& f : frames_) {
          if (f.written == 0) f.written = now;
        }
      }
      if (drained) drained();
    });
  }
  // When the first frame captured at or after `at` was written, or 0.
  double writtenAfter(double at) const {
    std::lock_guard lock(mutex_);
    for (const auto& f : frames_) {
      if (f.captured >= at) return f.written;
    }
    return 0;
  }

 private:
  struct Timing {
    double captured;
    double written;
  };
  std::shared_ptr<streaming::LinkVideoSink> link_;
  mutable std::mutex mutex_;
  std::vector<Timing> frames_;
};

// An X client of its own that fills the region with a new colour each time.
class Changer {
 public:
  Changer(const std::string& display, int x, int y)
      : d_(XOpenDisplay(display.c_str())),
        gc_(XCreateGC(d_, DefaultRootWindow(d_), 0, nullptr)),
        x_(x),
        y_(y) {}
  ~Changer() {
    XFreeGC(d_, gc_);
    XCloseDisplay(d_);
  }
  // The instant of the change: just before the request goes to the server.
  double change() {
    colour_ = colour_ * 1103515245u + 12345u;
    XSetForeground(d_, gc_, colour_ & 0xFFFFFF);
    const double at = secondsNow();
    XFillRectangle(d_, DefaultRootWindow(d_), gc_, x_ + kRegionX, y_ + kRegionY, kRegionSize,
                   kRegionSize);
    XSync(d_, False);
    return at;
  }

 private:
  Display* d_;
  GC gc_;
  int x_, y_;
  unsigned colour_ = 1;
};

// Capture and libx264 by hand on this thread: the display's pixels through shared memory, BGRA
// to NV12, one frame through libavcodec.
class BarePath {
 public:
  BarePath(const std::string& display, int x, int y, int threads)
      : d_(XOpenDisplay(display.c_str())),
        x_(x),
        y_(y),
        pool_(runtime::BufferPool::make(PixelBuffer::byteSize(kWidth, kHeight, kWidth), 0, 1)),
        picture_(pool_->acquire(), kWidth, kHeight, kWidth),
        x264_(kWidth, kHeight, kRate, threads) {
    image_ = XShmCreateImage(d_, DefaultVisual(d_, 0), DefaultDepth(d_, 0), ZPixmap, nullptr, &shm_,
                             kWidth, kHeight);
    shm_.shmid =
        shmget(IPC_PRIVATE, std::size_t(image_->bytes_per_line) * kHeight, IPC_CREAT | 0600);
    shm_.shmaddr = image_->data = static_cast<char*>(shmat(shm_.shmid, nullptr, 0));
    shmctl(shm_.shmid, IPC_RMID, nullptr);
    XShmAttach(d_, &shm_);
    XSync(d_, False);
  }
  ~BarePath() {
    XShmDetach(d_, &shm_);
    XSync(d_, False);
    shmdt(shm_.shmaddr);
    image_->data = nullptr;
    XDestroyImage(image_);
    XCloseDisplay(d_);
  }
  // Captures and encodes once; when the packet came out.
  double captureAndEncode() {
    XShmGetImage(d_, DefaultRootWindow(d_), image_, x_, y_, AllPlanes);
    libyuv::ARGBToNV12(reinterpret_cast<const std::uint8_t*>(image_->data), image_->bytes_per_line,
                       picture_.mutablePlaneY().data(), kWidth, picture_.mutablePlaneUV().data(),
                       kWidth, kWidth, kHeight);
    double out = 0;
    x264_.encode(picture_, index_++, [&](std::size_t) { out = secondsNow(); });
    return out;
  }

 private:
  Display* d_;
  int x_, y_;
  XShmSegmentInfo shm_{};
  XImage* image_ = nullptr;
  std::shared_ptr<runtime::BufferPool> pool_;
  PixelBuffer picture_;
  bench::BareX264 x264_;
  std::int64_t index_ = 0;
};

struct Figures {
  std::vector<double> wire, bare;  // ms
  int missed = 0;
};

// A pause of 40 to 60 ms, so that changes fall anywhere in the capture's frame interval.
std::chrono::milliseconds pause(std::mt19937& random) {
  return std::chrono::milliseconds(40 + random() % 21);
}

// The stream side: the link on a loop of its own, as the app's link thread has it, a reader that
// discards, and the streamer, started for each of its turns.
class Wire {
 public:
  Wire(const testsupport::XServer& x, std::uint32_t id, int threads)
      : id_(id),
        streamer_(streaming::DisplayStreamer::make(
            platform::media::LibavVideoEncoder::factory({threads}),
            std::make_shared<platform::X11CaptureBackend>(x.display()))) {
    auto [client, server] = link_.run(bench::socketPair());
    stream_ = runtime::TcpByteStream::adopt(std::move(client));
    stream_->start();
    connection_ = transport::FrameConnection::make(stream_);
    reader_ = std::thread([this, socket = std::move(server)]() mutable {
      std::vector<std::uint8_t> buffer(1 << 20);
      boost::system::error_code error;
      while (reading_ && !error) socket.read_some(boost::asio::buffer(buffer), error);
    });
  }
  ~Wire() {
    reading_ = false;
    stream_->cancel();
    reader_.join();
  }

  // Starts the stream and waits until its first keyframe is out.
  std::shared_ptr<WireTimingSink> start(boost::asio::io_context& loop) {
    auto sink =
        std::make_shared<WireTimingSink>(std::make_shared<streaming::LinkVideoSink>(connection_));
    const streaming::EncoderSettings settings{protocol::Codec::h264, kWidth, kHeight};
    testing::runUntilDone(loop, streamer_->start(settings, sink, id_));
    testing::runUntil(
        loop, [] { return false; }, 500ms);
    return sink;
  }
  void stop(boost::asio::io_context& loop) { testing::runUntilDone(loop, streamer_->stop()); }

 private:
  std::uint32_t id_;
  bench::Loop link_;
  std::unique_ptr<streaming::DisplayStreamer> streamer_;
  std::shared_ptr<runtime::ByteStream> stream_;
  std::shared_ptr<transport::FrameConnection> connection_;
  std::atomic<bool> reading_{true};
  std::thread reader_;
};

// Turns of the stream and of the bare path, kChangesPerTurn changes each, the one that goes
// first switching each turn.
Figures measure(const testsupport::XServer& x, const testsupport::Monitor& shown, std::uint32_t id,
                int threads) {
  Figures figures;
  std::mt19937 random(7);
  boost::asio::io_context loop;
  Changer changer(x.display(), shown.x, shown.y);
  Wire wire(x, id, threads);
  BarePath bare(x.display(), shown.x, shown.y, threads);
  const auto wireTurn = [&] {
    auto sink = wire.start(loop);
    for (int i = 0; i < kChangesPerTurn; ++i) {
      const double at = changer.change();
      testing::runUntil(
          loop, [] { return false; }, pause(random));
      const double written = sink->writtenAfter(at);
      if (written == 0) {
        ++figures.missed;
      } else {
        figures.wire.push_back((written - at) * 1000);
      }
    }
    wire.stop(loop);
  };
  const auto bareTurn = [&] {
    for (int i = 0; i < kChangesPerTurn; ++i) {
      const double at = changer.change();
      figures.bare.push_back((bare.captureAndEncode() - at) * 1000);
      std::this_thread::sleep_for(pause(random));
    }
  };
  for (int turn = 0; turn < kChanges / kChangesPerTurn; ++turn) {
    if (turn % 2 == 0) {
      wireTurn();
      bareTurn();
    } else {
      bareTurn();
      wireTurn();
    }
  }
  return figures;
}

std::string threadsText(int threads) {
  return threads == 0 ? "libx264 threads as the app has them (its own choice)"
                      : "libx264 on " + std::to_string(threads) + " threads";
}

void print(const std::string& how, int threads, const Figures& f) {
  using bench::percentile;
  const double p50 = percentile(f.wire, 0.5);
  std::printf(
      "%s, %s: change -> last byte on the link's socket: p50 %.2f ms, p99 %.2f ms over %zu changes "
      "(%d not seen) (goal: p50 <= 11 ms); frame interval %.1f ms; bare capture + libx264 of "
      "the same changes, in turns with it: p50 %.2f ms, p99 %.2f ms over %zu\n",
      how.c_str(), threadsText(threads).c_str(), p50, percentile(f.wire, 0.99), f.wire.size(),
      f.missed, kFrameIntervalMs, percentile(f.bare, 0.5), percentile(f.bare, 0.99), f.bare.size());
}

}  // namespace

int main() {
  av_log_set_level(AV_LOG_ERROR);
  runtime::Log::setThreshold(runtime::LogLevel::error);
  bench::PhoneDisplay phone(kWidth, kHeight);

  std::printf(
      "Glass to wire, Xorg-dummy %dx%d, libx264 balanced, %d changes per path in turns of %d:\n",
      kWidth, kHeight, kChanges, kChangesPerTurn);
  for (const int threads : {kAppThreads, kTwoThreads}) {
    print("  all CPUs given", threads, measure(phone.x, phone.shown, phone.id, threads));
  }
  const std::string pinned = "  pinned to CPUs " + bench::pinToTwoCpus();
  for (const int threads : {kAppThreads, kTwoThreads}) {
    print(pinned, threads, measure(phone.x, phone.shown, phone.id, threads));
  }
  return 0;
}
