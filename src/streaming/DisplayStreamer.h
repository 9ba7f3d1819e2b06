#pragma once

#include <functional>
#include <memory>
#include <optional>

#include "streaming/ScreenCapture.h"
#include "streaming/VideoEncoding.h"
#include "streaming/VideoPipeline.h"
#include "streaming/VideoStreaming.h"

namespace brindlet::streaming {

// The front of the video path: for each stream a pipeline into the link's sink and a capture of
// the phone's display feeding it; one stream at a time, everything on the main loop. It never
// stops a stream by itself: when capture ends on its own it tells its owner and keeps what it
// holds until the owner's stop() or start(). A quality change makes a new pipeline at the new
// quality beside the running one, and swaps it in only once its encoder is open: an encoder that
// cannot open at the new quality leaves the stream running as it was.
class DisplayStreamer final : public VideoStreaming {
 public:
  // Makes a stream's pipeline; throws EncoderError.
  using PipelineFactory = std::function<std::shared_ptr<VideoPipeline>(
      const EncoderSettings& settings, std::shared_ptr<VideoSink> sink)>;
  // Makes a stream's capture, handing its frames to the handler.
  using CaptureFactory =
      std::function<std::shared_ptr<ScreenCapture>(ScreenCapture::FrameHandler onFrame)>;

  DisplayStreamer(PipelineFactory makePipeline, CaptureFactory makeCapture);
  // The usual factories: pipelines on `makeEncoder`, captures on `backend`.
  static std::unique_ptr<DisplayStreamer> make(VideoEncoderFactory makeEncoder,
                                               std::shared_ptr<CaptureBackend> backend);
  ~DisplayStreamer() override;

  boost::asio::awaitable<void> start(EncoderSettings settings, std::shared_ptr<VideoSink> sink,
                                     std::uint32_t display) override;
  boost::asio::awaitable<void> stop() override;
  void setQuality(VideoQuality quality) override;
  std::shared_ptr<VideoPipeline> pipeline() const override;
  void onStopped(StoppedHandler handler) override;
  void onQualityRefused(QualityRefusedHandler handler) override;

  std::shared_ptr<ScreenCapture> capture() const;
  // The running stream's quality: the one it started with, or the last change its encoder took.
  std::optional<VideoQuality> quality() const;

 private:
  struct State;
  std::shared_ptr<State> state_;
};

}  // namespace brindlet::streaming
