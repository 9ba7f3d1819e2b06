// The video path end to end on Xorg with the dummy driver: the display manager attaches a
// display, the streamer captures it through libx264 into a LinkVideoSink over loopback TCP, and
// a reader keeps the video payloads, which ffprobe and ffmpeg read back.
#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <random>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/use_awaitable.hpp>

#include "platform/linux/media/LibavVideoEncoder.h"
#include "platform/linux/x11/RandrDisplayBackend.h"
#include "platform/linux/x11/X11CaptureBackend.h"
#include "runtime/Log.h"
#include "runtime/SocketByteStream.h"
#include "runtime/Task.h"
#include "streaming/DisplayStreamer.h"
#include "streaming/FakeDisplayBackend.h"
#include "streaming/LinkVideoSink.h"
#include "streaming/VirtualDisplayManager.h"
#include "support/Ffmpeg.h"
#include "support/Loop.h"
#include "support/RootPainter.h"
#include "support/TempDir.h"
#include "support/XServer.h"
#include "transport/FrameConnection.h"

namespace brindlet::platform {
namespace {

namespace asio = boost::asio;
using namespace std::chrono_literals;
using asio::ip::tcp;
using streaming::CaptureError;
using streaming::StreamError;
using testing::runUntil;
using testing::runUntilDone;
using testsupport::XServer;

constexpr int kWidth = 320, kHeight = 480;
const std::string kName = "Phone (Brindlet)";

struct Received {
  runtime::Bytes payload;
  bool keyframe = false;
};

// Both ends of a loopback link, hello done: the sending end goes to the sink, the reading end
// keeps every video frame.
struct Link {
  std::shared_ptr<transport::FrameConnection> sender, reader;
  std::vector<Received> frames;

  asio::awaitable<void> open() {
    auto executor = co_await asio::this_coro::executor;
    tcp::acceptor acceptor(executor, {asio::ip::address_v4::loopback(), 0});
    tcp::socket client(executor);
    co_await client.async_connect(acceptor.local_endpoint(), asio::use_awaitable);
    tcp::socket server = co_await acceptor.async_accept(asio::use_awaitable);
    sender = wrap(std::move(client));
    reader = wrap(std::move(server));
  }
  static std::shared_ptr<transport::FrameConnection> wrap(tcp::socket socket) {
    auto stream = runtime::TcpByteStream::adopt(std::move(socket));
    stream->start();
    auto link = transport::FrameConnection::make(stream);
    link->helloDone();
    return link;
  }
  asio::awaitable<void> read() {
    while (auto frame = co_await reader->receive()) {
      if (frame->channel != protocol::Channel::video) continue;
      frames.push_back({frame->payload, frame->flags.contains(protocol::FrameFlags::keyframe)});
    }
  }
  // The payloads so far as one Annex-B file.
  void write(const std::string& file) const {
    std::ofstream out(file, std::ios::binary);
    for (const auto& f : frames)
      out.write(reinterpret_cast<const char*>(f.payload.data()), std::streamsize(f.payload.size()));
  }
};

struct Harness {
  XServer x{XServer::Kind::xorgDummy};
  asio::io_context loop;
  runtime::LogCapture log;
  testsupport::TempDir dir;
  std::shared_ptr<RandrDisplayBackend> displays =
      runUntilDone(loop, RandrDisplayBackend::open(x.display()));
  std::optional<streaming::VirtualDisplayManager> manager;
  std::shared_ptr<X11CaptureBackend> capture = std::make_shared<X11CaptureBackend>(x.display());
  std::unique_ptr<streaming::DisplayStreamer> streamer;
  Link link;
  runtime::TaskHandle reading;
  std::vector<StreamError> stops;
  std::uint32_t display = 0;
  testsupport::Monitor shown;

  Harness() {
    auto availability = runUntilDone(loop, streaming::VirtualDisplayManager::probe(*displays));
    manager.emplace(loop.get_executor(), availability, displays,
                    std::make_shared<streaming::FakeSleepWakeSource>());
    streamer = streaming::DisplayStreamer::make(media::LibavVideoEncoder::factory({2}), capture);
    streamer->onStopped([this](const StreamError& error) { stops.push_back(error); });
    runUntilDone(loop, link.open());
    reading = runtime::spawn(loop.get_executor(), link.read());
  }
  ~Harness() {
    reading.cancel();
    runUntil(
        loop, [&] { return reading.isFinished(); }, 2s);
  }
  // The monitor that is not the phone's display.
  std::optional<testsupport::Monitor> mainMonitor() const {
    for (const auto& m : testsupport::monitors(x))
      if (m.name != kName) return m;
    return std::nullopt;
  }

  void attach() {
    const streaming::VirtualDisplayConfig config{kName, 1, kWidth / 2, kHeight / 2, 2, 60};
    display = runUntilDone(loop, manager->attach(config));
    shown = *testsupport::monitorNamed(x, kName);
  }
  std::optional<StreamError> start(std::uint32_t id) {
    const streaming::EncoderSettings settings{protocol::Codec::h264, kWidth, kHeight};
    auto sink = std::make_shared<streaming::LinkVideoSink>(link.sender);
    try {
      runUntilDone(loop, streamer->start(settings, sink, id));
      return std::nullopt;
    } catch (const StreamError& error) {
      return error;
    }
  }
  // Runs an X client to its end while the loop goes on sending.
  void run(const std::vector<std::string>& argv) {
    auto child = x.start(argv);
    std::optional<int> status;
    runUntil(
        loop, [&] { return (status = child->waitExit(1ms)).has_value(); }, 10s);
    ASSERT_EQ(status, 0) << child->output();
  }
  // Waits until more than `count` frames have arrived; whether they did.
  bool framesPass(std::size_t count) {
    return runUntil(
        loop, [&] { return link.frames.size() > count; }, 5s);
  }
  // Lets the loop run for a while; the frames that arrived meanwhile.
  std::size_t framesDuring(std::chrono::milliseconds span) {
    const std::size_t before = link.frames.size();
    runUntil(
        loop, [] { return false; }, span);
    return link.frames.size() - before;
  }
  // The last frame of the stream so far, decoded to a picture.
  std::string lastPicture() {
    const std::string stream = dir.file("stream.h264"), picture = dir.file("last.png");
    link.write(stream);
    testsupport::runToEnd({"ffmpeg", "-hide_banner", "-nostdin", "-loglevel", "error", "-y",
                           "-xerror", "-i", stream, "-update", "1", picture});
    return picture;
  }
  std::string screenPicture() {
    const std::string picture = dir.file("screen.png");
    const std::string crop = std::to_string(kWidth) + "x" + std::to_string(kHeight) + "+" +
                             std::to_string(shown.x) + "+" + std::to_string(shown.y);
    run({"import", "-window", "root", "-crop", crop, picture});
    return picture;
  }
  // Mean size of the delta frames among the last `count`.
  double meanDeltaBytes(std::size_t count) const {
    double total = 0, n = 0;
    for (std::size_t i = link.frames.size() - count; i < link.frames.size(); ++i) {
      if (link.frames[i].keyframe) continue;
      total += double(link.frames[i].payload.size());
      ++n;
    }
    return n > 0 ? total / n : 0;
  }
  // Tiles the root with a fresh random pattern: a picture that is hard to compress.
  void noise(std::mt19937& random) {
    const std::string file = dir.file("noise.xbm");
    std::ofstream out(file);
    out << "#define n_width 64\n#define n_height 64\nstatic unsigned char n_bits[] = {";
    char byte[8];
    for (int i = 0; i < 64 * 8; ++i) {
      // Short lines: the reader takes lines of at most 255 characters.
      std::snprintf(byte, sizeof byte, "%s0x%02x",
                    i == 0   ? "\n"
                    : i % 16 ? ", "
                             : ",\n",
                    unsigned(random() & 0xFF));
      out << byte;
    }
    out << "};\n";
    out.close();
    run({"xsetroot", "-bitmap", file, "-fg", "#f0c020", "-bg", "#103070"});
  }
};

double psnr(const std::string& a, const std::string& b) {
  // compare writes the figure to its error output and answers 1 when the pictures differ.
  const auto result =
      testsupport::runProgram({"sh", "-c", "compare -metric PSNR \"$0\" \"$1\" null: 2>&1", a, b});
  return result.output.find("inf") != std::string::npos ? 100.0 : std::stod(result.output);
}

double spread(const std::string& picture, int x, int y) {
  const std::string crop = "12x12+" + std::to_string(x) + "+" + std::to_string(y);
  const auto out = testsupport::runToEnd(
      {"convert", picture, "-crop", crop, "-format", "%[fx:standard_deviation]", "info:"});
  return std::stod(out);
}

TEST(CapturePeer, StreamsTheAttachedDisplayEndToEnd) {
  Harness h;
  h.run({"xsetroot", "-solid", "#204080"});
  h.run({"xdotool", "mousemove", "5", "5"});
  h.attach();
  ASSERT_FALSE(h.start(h.display));
  EXPECT_EQ(h.log.messages("capture", runtime::LogLevel::info).at(0),
            "Capturing display(" + std::to_string(h.display) + ") at 320×480");

  // The start gives a frame; a still screen none.
  ASSERT_TRUE(h.framesPass(0));
  h.framesDuring(200ms);
  EXPECT_EQ(h.framesDuring(500ms), 0u);
  // A keyframe request on a still screen gets a picture all the same, as a keyframe.
  const std::size_t still = h.link.frames.size();
  h.streamer->pipeline()->requestKeyframe();
  ASSERT_TRUE(h.framesPass(still));
  EXPECT_TRUE(h.link.frames.back().keyframe);
  EXPECT_EQ(h.framesDuring(300ms), 0u);

  // Each change of the screen gives a frame.
  for (const char* colour : {"#802020", "#208020", "#f0f0f0", "#303030", "#20a0c0"}) {
    SCOPED_TRACE(colour);
    const std::size_t before = h.link.frames.size();
    h.run({"xsetroot", "-solid", colour});
    EXPECT_TRUE(h.framesPass(before));
  }
  h.framesDuring(200ms);
  EXPECT_GT(psnr(h.lastPicture(), h.screenPicture()), 30.0);

  // The pointer moved over the display shows in the next frame.
  const std::size_t before = h.link.frames.size();
  h.run({"xdotool", "mousemove", std::to_string(h.shown.x + 100), std::to_string(h.shown.y + 100)});
  ASSERT_TRUE(h.framesPass(before));
  h.framesDuring(100ms);
  const std::string withPointer = h.lastPicture();
  EXPECT_GT(spread(withPointer, 96, 96), 0.05);
  EXPECT_LT(spread(withPointer, 200, 300), 0.02);

  // A lower quality gives smaller frames of the same kind of picture.
  std::mt19937 random(7);
  for (int i = 0; i < 40; ++i) h.noise(random);
  h.framesDuring(200ms);
  const double balanced = h.meanDeltaBytes(20);
  h.streamer->setQuality(streaming::VideoQuality::fast);
  // The stream goes on to a new encoder once that is open.
  EXPECT_TRUE(runUntil(
      h.loop,
      [&] {
        const auto infos = h.log.messages("capture", runtime::LogLevel::info);
        return !infos.empty() && infos.back() == "Encoder quality now fast";
      },
      5s));
  for (int i = 0; i < 40; ++i) h.noise(random);
  h.framesDuring(200ms);
  const double fast = h.meanDeltaBytes(20);
  EXPECT_LT(fast, balanced * 0.8) << "balanced " << balanced << ", fast " << fast;

  // What was sent is what ffprobe and ffmpeg read, flag for flag.
  runUntilDone(h.loop, h.streamer->stop());
  const std::string stream = h.dir.file("stream.h264");
  h.link.write(stream);
  EXPECT_EQ(testsupport::countFrames(stream), int(h.link.frames.size()));
  const auto packets = testsupport::traceHeaders(stream);
  ASSERT_EQ(packets.size(), h.link.frames.size());
  for (std::size_t i = 0; i < packets.size(); ++i) {
    EXPECT_EQ(packets[i].key, h.link.frames[i].keyframe) << "packet " << i;
  }
  EXPECT_TRUE(h.link.frames.at(0).keyframe);
  EXPECT_NO_THROW(h.lastPicture());
  EXPECT_TRUE(h.stops.empty());
}

TEST(CapturePeer, AnOutputSwitchedOffStopsTheStreamAndAnUnknownIdIsNotFound) {
  Harness h;
  h.attach();
  EXPECT_EQ(h.start(h.display + 1000),
            StreamError::capture(CaptureError::displayNotFound(h.display + 1000)));
  EXPECT_FALSE(h.streamer->pipeline());

  ASSERT_FALSE(h.start(h.display));
  ASSERT_TRUE(h.framesPass(0));
  h.run({"xrandr", "--output", h.shown.output, "--off"});
  ASSERT_TRUE(runUntil(
      h.loop, [&] { return !h.stops.empty(); }, 5s));
  EXPECT_EQ(
      h.stops,
      (std::vector{StreamError::capture(CaptureError::streamFailed("display switched off"))}));
  EXPECT_EQ(h.log.messages("capture", runtime::LogLevel::error),
            (std::vector<std::string>{"capture stopped: display switched off"}));
  // The streamer keeps its stream for the owner to stop.
  EXPECT_TRUE(h.streamer->pipeline());
  runUntilDone(h.loop, h.streamer->stop());
  EXPECT_FALSE(h.streamer->pipeline());
}

TEST(CapturePeer, CapturesWhatWindowsDrawAndAWindowScaledUntilItGoes) {
  Harness h;
  h.attach();
  // A window on the display that keeps writing, its right part beyond the screen's edge.
  const std::string at = "+" + std::to_string(h.shown.x + kWidth - 60) + "+0";
  auto xterm = h.x.start({"xterm", "-class", "BrindletCapture", "-geometry", "30x8" + at, "-e",
                          "sh", "-c", "while :; do date +%N; sleep 0.02; done"});
  const std::string id =
      h.x.run({"xdotool", "search", "--sync", "--onlyvisible", "--class", "BrindletCapture"})
          .output;
  const auto window = std::uint32_t(std::stoul(id));

  std::mutex mutex;
  std::vector<std::pair<int, int>> sizes;
  streaming::ScreenCapture capture(h.capture,
                                   [&](streaming::SharedPixelBuffer picture, protocol::MediaTime) {
                                     std::lock_guard lock(mutex);
                                     sizes.emplace_back(picture->width(), picture->height());
                                   });
  std::vector<CaptureError> stops;
  capture.onStopped([&](const CaptureError& error) { stops.push_back(error); });
  const auto count = [&] {
    std::lock_guard lock(mutex);
    return sizes.size();
  };

  // Drawing in a window on the display changes the display's picture.
  runUntilDone(h.loop,
               capture.start(streaming::CaptureTarget::display(h.display), kWidth, kHeight));
  EXPECT_TRUE(runUntil(
      h.loop, [&] { return count() > 5; }, 5s));

  // The window alone, at another size.
  runUntilDone(h.loop, capture.start(streaming::CaptureTarget::window(window), 160, 100));
  const std::size_t before = count();
  EXPECT_TRUE(runUntil(
      h.loop, [&] { return count() > before + 5; }, 5s));
  {
    std::lock_guard lock(mutex);
    EXPECT_EQ(sizes.back(), (std::pair{160, 100}));
  }
  xterm.reset();
  ASSERT_TRUE(runUntil(
      h.loop, [&] { return !stops.empty(); }, 5s));
  EXPECT_EQ(stops, (std::vector{CaptureError::streamFailed("window gone")}));
  EXPECT_FALSE(capture.isRunning());
}

TEST(CapturePeer, DrawingElsewhereMakesNoFrameAndDoesNotHoldUpAChangeOnTheDisplay) {
  using Clock = std::chrono::steady_clock;
  constexpr int kBurst = 1'000'000;
  Harness h;
  h.attach();
  const auto main = h.mainMonitor();
  ASSERT_TRUE(main);
  testsupport::RootPainter painter(h.x.display());
  painter.fill(h.shown, 0x000000);

  // Frames with their arrival and the brightness of the picture's middle; while `hold` is set,
  // the capture thread waits in the frame handler, as on a machine too loaded to run it.
  std::mutex mutex;
  std::condition_variable changed;
  std::vector<std::pair<Clock::time_point, int>> frames;
  bool hold = false;
  streaming::ScreenCapture capture(
      h.capture, [&](streaming::SharedPixelBuffer picture, protocol::MediaTime) {
        std::unique_lock lock(mutex);
        frames.emplace_back(Clock::now(), picture->planeY()[(kHeight / 2) * kWidth + kWidth / 2]);
        changed.notify_all();
        changed.wait(lock, [&] { return !hold; });
      });
  const auto count = [&] {
    std::lock_guard lock(mutex);
    return frames.size();
  };
  runUntilDone(h.loop,
               capture.start(streaming::CaptureTarget::display(h.display), kWidth, kHeight));
  ASSERT_TRUE(runUntil(
      h.loop, [&] { return count() > 0; }, 5s));
  runUntil(
      h.loop, [] { return false; }, 300ms);

  // A long burst of drawing on the other monitor makes no frame.
  const std::size_t still = count();
  painter.burst(*main, kBurst);
  runUntil(
      h.loop, [] { return false; }, 300ms);
  EXPECT_EQ(count(), still);

  // The capture thread held while the other monitor gets another burst, then a change on the
  // display: the change is captured without working through the drawing elsewhere first.
  {
    std::unique_lock lock(mutex);
    hold = true;
    capture.requestFrame();
    ASSERT_TRUE(changed.wait_for(lock, 5s, [&] { return frames.size() > still; }));
  }
  painter.burst(*main, kBurst);
  painter.fill(h.shown, 0xFFFFFF);
  const auto at = Clock::now();
  {
    std::unique_lock lock(mutex);
    hold = false;
    changed.notify_all();
    // White in BT.601's limited range. The margin is what a loaded machine keeps; the tight
    // figure is the benchmarks'.
    ASSERT_TRUE(changed.wait_for(lock, 10s, [&] { return frames.back().second == 235; }));
    EXPECT_LT(frames.back().first - at, 300ms);
  }
  runUntilDone(h.loop, capture.stop());
}

// The capture threads of this process (/proc/self/task/<id>): one per connection the backends
// hold, named after the capture queue.
std::vector<std::filesystem::path> captureThreads() {
  std::vector<std::filesystem::path> threads;
  for (const auto& task : std::filesystem::directory_iterator("/proc/self/task")) {
    std::ifstream comm(task.path() / "comm");
    std::string name;
    std::getline(comm, name);
    if (name == "capture") threads.push_back(task.path());
  }
  return threads;
}

// How often the capture threads of this process have been woken so far.
long captureWakeUps() {
  long count = 0;
  for (const auto& thread : captureThreads()) {
    std::ifstream status(thread / "status");
    for (std::string line; std::getline(status, line);) {
      if (line.rfind("voluntary_ctxt_switches:", 0) == 0) count += std::stol(line.substr(24));
    }
  }
  return count;
}

// A still picture under a still pointer leaves the capture asleep; drawing on the other monitor
// wakes it only while it lasts, and the pointer's motion over the display still shows.
TEST(CapturePeer, AStillDisplayLeavesTheCaptureAsleep) {
  Harness h;
  h.attach();
  const auto main = h.mainMonitor();
  ASSERT_TRUE(main);
  h.run({"xdotool", "mousemove", std::to_string(main->x + 5), std::to_string(main->y + 5)});
  ASSERT_FALSE(h.start(h.display));
  ASSERT_TRUE(h.framesPass(0));
  const auto asleep = [&] {
    h.framesDuring(300ms);
    const long before = captureWakeUps();
    h.framesDuring(1s);
    // Ticks would wake it 60 times.
    return captureWakeUps() - before;
  };
  EXPECT_LT(asleep(), 10);
  testsupport::RootPainter painter(h.x.display());
  painter.burst(*main, 100'000);
  EXPECT_EQ(h.framesDuring(200ms), 0u);
  EXPECT_LT(asleep(), 10);
  const std::size_t before = h.link.frames.size();
  h.run({"xdotool", "mousemove", std::to_string(h.shown.x + 50), std::to_string(h.shown.y + 50)});
  EXPECT_TRUE(h.framesPass(before));
  runUntilDone(h.loop, h.streamer->stop());
}

struct Started {
  bool done = false;
  std::optional<CaptureError> error;
};

asio::awaitable<void> startInto(streaming::ScreenCapture& capture, std::uint32_t display,
                                Started& started) {
  try {
    co_await capture.start(streaming::CaptureTarget::display(display), kWidth, kHeight);
  } catch (const CaptureError& error) {
    started.error = error;
  }
  started.done = true;
}

// Two streams' captures starting at once, as two starts of the streamer make them, share one
// connection and never both run on it; a stop that comes while a start waits for the connection
// leaves no capture running. Either way the next start captures.
TEST(CapturePeer, StartsThatMeetShareOneConnectionAndLeaveNoCaptureBehind) {
  struct Case {
    std::string name;
    int starts;
    bool stopAtOnce;
    std::vector<std::optional<std::string>> errors;  // of each start
  };
  const std::vector<Case> cases = {
      {"two starts at once", 2, false, {std::nullopt, "a capture of display(%) is running"}},
      {"a stop during a start", 1, true, {"capture superseded while starting"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Harness h;
    h.attach();
    testsupport::RootPainter painter(h.x.display());
    std::atomic<int> frames{0};
    std::vector<std::unique_ptr<streaming::ScreenCapture>> captures;
    std::vector<Started> started(std::size_t(c.starts));
    for (auto& s : started) {
      captures.push_back(std::make_unique<streaming::ScreenCapture>(
          h.capture, [&](streaming::SharedPixelBuffer, protocol::MediaTime) { ++frames; }));
      runtime::spawn(h.loop.get_executor(), startInto(*captures.back(), h.display, s));
    }
    if (c.stopAtOnce) runtime::spawn(h.loop.get_executor(), captures.front()->stop());
    ASSERT_TRUE(runUntil(
        h.loop,
        [&] { return std::all_of(started.begin(), started.end(), [](auto& s) { return s.done; }); },
        5s));
    EXPECT_EQ(int(captureThreads().size()), 1);
    for (std::size_t i = 0; i < started.size(); ++i) {
      auto expected = c.errors[i];
      if (expected) {
        const auto at = expected->find('%');
        if (at != std::string::npos) expected->replace(at, 1, std::to_string(h.display));
      }
      const auto error = started[i].error;
      EXPECT_EQ(error ? std::optional(error->description()) : std::nullopt, expected) << i;
    }
    // What runs is the one capture that started: the display's changes reach only it.
    const int before = frames;
    for (unsigned long colour : {0x802020ul, 0x208020ul, 0x202080ul}) {
      painter.fill(h.shown, colour);
      runUntil(
          h.loop, [] { return false; }, 100ms);
    }
    if (c.stopAtOnce) {
      EXPECT_EQ(frames, before);
    } else {
      EXPECT_GT(frames, before);
    }
    for (auto& capture : captures) runUntilDone(h.loop, capture->stop());

    Started again;
    streaming::ScreenCapture next(
        h.capture, [&](streaming::SharedPixelBuffer, protocol::MediaTime) { ++frames; });
    runUntilDone(h.loop, startInto(next, h.display, again));
    EXPECT_FALSE(again.error) << again.error->description();
    EXPECT_EQ(int(captureThreads().size()), 1);
    runUntilDone(h.loop, next.stop());
  }
}

TEST(CapturePeer, ALostServerStopsTheStream) {
  Harness h;
  h.attach();
  ASSERT_FALSE(h.start(h.display));
  ASSERT_TRUE(h.framesPass(0));
  h.x.kill();
  ASSERT_TRUE(runUntil(
      h.loop, [&] { return !h.stops.empty(); }, 5s));
  EXPECT_EQ(h.stops, (std::vector{StreamError::capture(
                         CaptureError::streamFailed("lost the connection to the X display"))}));
  runUntilDone(h.loop, h.streamer->stop());
}

TEST(CapturePeer, NoDisplayIsNotPermitted) {
  asio::io_context loop;
  X11CaptureBackend backend(":4071");
  try {
    runUntilDone(loop, backend.shareableContent());
    FAIL() << "listed content without a display";
  } catch (const CaptureError& error) {
    EXPECT_EQ(error.kind(), CaptureError::Case::notPermitted) << error.text();
  }
}

}  // namespace
}  // namespace brindlet::platform
