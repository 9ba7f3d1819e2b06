#include "streaming/ScreenCapture.h"

#include <algorithm>
#include <cmath>

#include "runtime/Log.h"

namespace brindlet::streaming {
namespace {

using boost::asio::awaitable;

const runtime::Logger& logger() {
  return runtime::Logger::of("capture");
}

bool contains(const std::vector<std::uint32_t>& ids, std::uint32_t id) {
  return std::find(ids.begin(), ids.end(), id) != ids.end();
}

// Checked before any conversion to an integer: a NaN, an infinity or a huge value would make the
// conversion undefined.
bool sideFits(double side) {
  return std::isfinite(side) && side > 0 && side <= ScreenCapture::kMaxSide;
}

}  // namespace

std::string CaptureTarget::text() const {
  return (kind == Kind::display ? "display(" : "window(") + std::to_string(id) + ")";
}

// Main loop only, except onFrame, which the capture thread calls.
struct ScreenCapture::State {
  std::shared_ptr<CaptureBackend> backend;
  FrameHandler onFrame;
  StoppedHandler stopped;
  std::unique_ptr<CaptureStream> stream;
  // Which start the running stream came from, so that a late stop notice of an older stream
  // leaves a newer one alone.
  std::uint64_t generation = 0;

  void systemStopped(std::uint64_t from, const std::string& description) {
    logger().error("capture stopped: %s", description.c_str());
    if (!stream || from != generation) return;
    stream.reset();
    if (stopped) stopped(CaptureError::streamFailed(description));
  }
};

ScreenCapture::ScreenCapture(std::shared_ptr<CaptureBackend> backend, FrameHandler onFrame)
    : state_(std::make_shared<State>()) {
  state_->backend = std::move(backend);
  state_->onFrame = std::move(onFrame);
}

ScreenCapture::~ScreenCapture() = default;

bool ScreenCapture::isComplete(const CapturedFrame& frame) {
  return frame.status == FrameStatus::complete;
}

awaitable<void> ScreenCapture::start(CaptureTarget target, double width, double height) {
  auto state = state_;
  co_await stop();
  // Taken before the first wait: a stop that comes while the content is listed supersedes this
  // start too.
  const std::uint64_t generation = ++state->generation;

  ShareableContent content;
  try {
    content = co_await state->backend->shareableContent();
  } catch (const CaptureError& error) {
    logger().error("shareable content failed: %s", error.description().c_str());
    throw CaptureError::notPermitted(error.description());
  }
  const bool isDisplay = target.kind == CaptureTarget::Kind::display;
  if (!contains(isDisplay ? content.displays : content.windows, target.id)) {
    if (isDisplay) throw CaptureError::displayNotFound(target.id);
    throw CaptureError::windowNotFound(target.id);
  }
  if (!sideFits(width) || !sideFits(height)) {
    const std::string description = "capture size out of range";
    logger().error("capture start failed: %s", description.c_str());
    throw CaptureError::streamFailed(description);
  }
  const int w = static_cast<int>(width);
  const int h = static_cast<int>(height);

  std::weak_ptr<State> weak = state;
  CaptureCallbacks callbacks;
  callbacks.frame = [onFrame = state->onFrame](CapturedFrame frame) {
    if (isComplete(frame) && frame.buffer) onFrame(std::move(frame.buffer), frame.time);
  };
  callbacks.stopped = [weak, generation](std::string description) {
    if (auto s = weak.lock()) {
      s->systemStopped(generation, description);
    } else {
      logger().error("capture stopped: %s", description.c_str());
    }
  };
  std::unique_ptr<CaptureStream> stream;
  try {
    stream = co_await state->backend->start(target, w, h, std::move(callbacks));
  } catch (const CaptureError& error) {
    logger().error("capture start failed: %s", error.description().c_str());
    throw CaptureError::streamFailed(error.description());
  }
  // A stop or another start while this one waited has moved on: this stream is not wanted.
  if (state->generation != generation) {
    auto stale = stream->stop();
    try {
      co_await std::move(stale);
    } catch (const CaptureError&) {
    }
    throw CaptureError::streamFailed("capture superseded while starting");
  }
  state->stream = std::move(stream);
  const std::string shown = target.text();
  logger().info("Capturing %s at %ld×%ld", shown.c_str(), long(w), long(h));
}

awaitable<void> ScreenCapture::stop() {
  auto state = state_;
  ++state->generation;
  auto stream = std::move(state->stream);
  if (!stream) co_return;
  try {
    co_await stream->stop();
  } catch (const CaptureError& error) {
    logger().error("capture stop failed: %s", error.description().c_str());
  }
}

void ScreenCapture::requestFrame() {
  if (state_->stream) state_->stream->requestFrame();
}

void ScreenCapture::onStopped(StoppedHandler handler) {
  state_->stopped = std::move(handler);
}

bool ScreenCapture::isRunning() const {
  return state_->stream != nullptr;
}

}  // namespace brindlet::streaming
