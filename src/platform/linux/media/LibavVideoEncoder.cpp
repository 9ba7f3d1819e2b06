#include "platform/linux/media/LibavVideoEncoder.h"

#include <libyuv/convert.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <mutex>
#include <optional>
#include <string>

#include <boost/asio/post.hpp>

#include "runtime/Log.h"
#include "runtime/WorkerThread.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/dict.h>
#include <libavutil/error.h>
#include <libavutil/frame.h>
#include <libavutil/mathematics.h>
}

namespace brindlet::platform::media {

using protocol::Codec;
using protocol::MediaTime;
using runtime::ByteView;
using streaming::EncodedFrame;
using streaming::EncoderError;
using streaming::EncoderSettings;
using streaming::SharedPixelBuffer;
using streaming::VideoQuality;

namespace {

// Fine enough that any capture time keeps its place, and the usual rate of video streams.
constexpr int kTimescale = 90000;

const runtime::Logger& logger() {
  return runtime::Logger::of("capture");
}

struct ContextDeleter {
  void operator()(AVCodecContext* c) const { avcodec_free_context(&c); }
};
struct FrameDeleter {
  void operator()(AVFrame* f) const { av_frame_free(&f); }
};
struct PacketDeleter {
  void operator()(AVPacket* p) const { av_packet_free(&p); }
};
using ContextPtr = std::unique_ptr<AVCodecContext, ContextDeleter>;
using FramePtr = std::unique_ptr<AVFrame, FrameDeleter>;
using PacketPtr = std::unique_ptr<AVPacket, PacketDeleter>;

// The first picture unit of an Annex-B access unit tells whether it is an IDR picture, where
// decoding can start afresh. An HEVC clean random access picture does not count: pictures after
// it may refer to ones before. Reads up to that unit only, without allocating.
bool holdsIDR(Codec codec, ByteView unit) {
  for (std::size_t at = 0; at + 3 < unit.size(); ++at) {
    if (unit[at] != 0 || unit[at + 1] != 0 || unit[at + 2] != 1) continue;
    const std::uint8_t first = unit[at + 3];
    if (codec == Codec::h264) {
      const int type = first & 0x1F;
      if (type >= 1 && type <= 5) return type == 5;
    } else {
      const int type = (first >> 1) & 0x3F;
      if (type < 32) return type == 19 || type == 20;
    }
    at += 3;
  }
  return false;
}

// Output buffers sized by the stream: most access units fit one, and a quarter second of frames
// may be on their way to the phone at once. A larger unit takes a buffer of its own.
std::shared_ptr<runtime::BufferPool> outputPool(const EncoderSettings& settings, int frameRate) {
  const std::size_t picture =
      std::size_t(std::max(settings.width, 2)) * std::size_t(std::max(settings.height, 2));
  const std::size_t size = std::max<std::size_t>(65536, picture / 4);
  const std::size_t count = std::max(4, frameRate / 4);
  return runtime::BufferPool::make(size, EncodedFrame::kHeadroom, count);
}

void logFailure(const EncoderError& e) {
  if (e.kind() == EncoderError::Case::property) {
    logger().error("Setting %s failed: %d", e.key().c_str(), e.status());
  } else {
    logger().error("Encoder session creation failed: %d", e.status());
  }
}

}  // namespace

struct LibavVideoEncoder::Core {
  Core(const EncoderSettings& settings, Output output, LibavEncoderOptions options)
      : settings(settings),
        // A rate below 1 would make a frame last forever and the time base zero.
        frameRate(std::clamp(settings.frameRate, 1, kTimescale)),
        output(std::move(output)),
        options(options),
        pool(outputPool(settings, frameRate)),
        quality(settings.quality) {}

  bool hevc() const { return settings.codec == Codec::hevc; }
  // Opens a compressor at the rate; on the caller's thread at creation, later on the worker's.
  // Throws EncoderError.
  void open(const Rate& rate);
  void encodeNow(const SharedPixelBuffer& buffer, std::int64_t pts, bool force);
  AVFrame* pictureOf(const SharedPixelBuffer& buffer);
  void emit(const AVPacket& packet);

  const EncoderSettings settings;
  const int frameRate;
  const Output output;
  const LibavEncoderOptions options;
  const std::shared_ptr<runtime::BufferPool> pool;

  mutable std::mutex mutex;  // guards the quality
  VideoQuality quality;

  // The worker's own once the encoder is made.
  ContextPtr context;
  std::int32_t openStatus = 0;  // why there is no context
  FramePtr picture;             // the frame handed to libavcodec
  FramePtr converted;           // HEVC's I420 copy of the picture
  PacketPtr packet{av_packet_alloc()};
  std::int64_t lastPts = std::numeric_limits<std::int64_t>::min();
  std::optional<std::int64_t> lastKeyPts;
  bool forceNext = false;       // an access unit was lost: the next picture starts afresh
  std::optional<Rate> newRate;  // a quality change, for the next picture

  runtime::WorkerThread worker{"encoder"};
};

LibavVideoEncoder::Rate LibavVideoEncoder::rateOf(VideoQuality quality) {
  const std::int64_t bits = streaming::averageBitRate(quality);
  return {bits, double(bits) / 8 * 1.5, 1.0};
}

void LibavVideoEncoder::Core::open(const Rate& rate) {
  context.reset();
  const AVCodec* codec = avcodec_find_encoder_by_name(hevc() ? "libx265" : "libx264");
  if (codec == nullptr) throw EncoderError::sessionCreation(AVERROR_ENCODER_NOT_FOUND);
  ContextPtr made(avcodec_alloc_context3(codec));
  if (!made || !packet) throw EncoderError::sessionCreation(AVERROR(ENOMEM));
  made->width = settings.width;
  made->height = settings.height;
  made->pix_fmt = hevc() ? AV_PIX_FMT_YUV420P : AV_PIX_FMT_NV12;
  made->time_base = {1, kTimescale};
  made->framerate = {frameRate, 1};
  made->gop_size = std::max(settings.maxKeyFrameInterval, 1);
  made->max_b_frames = 0;
  made->bit_rate = rate.bitRate;
  made->rc_max_rate = std::llround(rate.limitBytes * 8 / rate.limitSeconds);
  made->rc_buffer_size = int(std::lround(rate.limitBytes * 8));
  made->thread_count = options.threads;
  // Slices, not frames, in parallel: frame threads would hold pictures back.
  made->thread_type = FF_THREAD_SLICE;
  // What capture's conversion produced.
  made->colorspace = AVCOL_SPC_SMPTE170M;
  made->color_range = AVCOL_RANGE_MPEG;
  // No global header: the compressor writes Annex-B with the parameter sets in front of every
  // IDR picture, which is the form the link carries.

  AVDictionary* dictionary = nullptr;
  av_dict_set(&dictionary, "preset", "ultrafast", 0);
  av_dict_set(&dictionary, "tune", "zerolatency", 0);
  av_dict_set(&dictionary, "profile", hevc() ? "main" : "high", 0);
  av_dict_set(&dictionary, "forced-idr", "1", 0);
  // Keyframes only where asked or due. x265 keeps frame threads and lookahead off so that
  // nothing waits for the next picture, and starts every keyframe with an IDR picture rather
  // than a clean random access one.
  if (hevc()) {
    av_dict_set(&dictionary, "x265-params",
                "open-gop=0:frame-threads=1:rc-lookahead=0:scenecut=0:log-level=error", 0);
  } else {
    av_dict_set(&dictionary, "x264-params", "scenecut=0", 0);
  }
  const int status = avcodec_open2(made.get(), codec, &dictionary);
  // What the compressor did not take was refused.
  const AVDictionaryEntry* refused = av_dict_get(dictionary, "", nullptr, AV_DICT_IGNORE_SUFFIX);
  const std::string key = refused ? refused->key : "";
  av_dict_free(&dictionary);
  if (status < 0) throw EncoderError::sessionCreation(status);
  if (!key.empty()) throw EncoderError::property(key, AVERROR_OPTION_NOT_FOUND);

  if (hevc()) {
    converted.reset(av_frame_alloc());
    if (!converted) throw EncoderError::sessionCreation(AVERROR(ENOMEM));
    converted->format = AV_PIX_FMT_YUV420P;
    converted->width = settings.width;
    converted->height = settings.height;
    if (const int s = av_frame_get_buffer(converted.get(), 0); s < 0)
      throw EncoderError::sessionCreation(s);
  }
  picture.reset(av_frame_alloc());
  if (!picture) throw EncoderError::sessionCreation(AVERROR(ENOMEM));
  context = std::move(made);
}

LibavVideoEncoder::LibavVideoEncoder(const EncoderSettings& settings, Output output,
                                     LibavEncoderOptions options)
    : core_(std::make_unique<Core>(settings, std::move(output), options)) {
  try {
    core_->open(rateOf(settings.quality));
  } catch (const EncoderError& e) {
    logFailure(e);
    throw;
  }
}

LibavVideoEncoder::~LibavVideoEncoder() {
  core_->worker.stop();
}

const EncoderSettings& LibavVideoEncoder::settings() const {
  return core_->settings;
}

VideoQuality LibavVideoEncoder::quality() const {
  std::lock_guard lock(core_->mutex);
  return core_->quality;
}

void LibavVideoEncoder::encode(SharedPixelBuffer buffer, MediaTime time, bool forceKeyframe) {
  const auto& s = core_->settings;
  if (!buffer || buffer->width() != s.width || buffer->height() != s.height || !time.isValid()) {
    const std::int32_t status = AVERROR(EINVAL);
    logger().error("Encoder frame submission failed: %d", status);
    throw EncoderError::encode(status);
  }
  const std::int64_t pts =
      av_rescale_rnd(time.value, kTimescale, time.timescale, AV_ROUND_NEAR_INF);
  boost::asio::post(core_->worker.executor(),
                    [core = core_.get(), buffer = std::move(buffer), pts, forceKeyframe] {
                      core->encodeNow(buffer, pts, forceKeyframe);
                    });
}

void LibavVideoEncoder::setQuality(VideoQuality quality) {
  {
    std::lock_guard lock(core_->mutex);
    core_->quality = quality;
  }
  // In line with the frames: those queued before keep the old rate.
  boost::asio::post(core_->worker.executor(),
                    [core = core_.get(), rate = rateOf(quality)] { core->newRate = rate; });
  logger().info("Encoder quality now %s", std::string(streaming::rawValue(quality)).c_str());
}

boost::asio::awaitable<void> LibavVideoEncoder::completeFrames() {
  // Each frame's job ends with its access unit handed out, so the queue being through is enough.
  auto nothing = [] {};
  co_await runtime::offload(core_->worker.executor(), nothing);
}

void LibavVideoEncoder::Core::encodeNow(const SharedPixelBuffer& buffer, std::int64_t pts,
                                        bool force) {
  if (auto rate = std::exchange(newRate, std::nullopt)) {
    // Neither wrapper can move the average while running: libx265's ignores a new rate, and
    // libx264's passes it on, but x264 then changes only its ceiling, not the average it aims
    // at. So a fresh compressor, whose first picture is a keyframe with its own parameter sets.
    try {
      open(*rate);
      openStatus = 0;
    } catch (const EncoderError& e) {
      openStatus = e.status();
    }
    force = true;
  }
  if (!context) {
    logger().error("Encode callback failed: %d", openStatus != 0 ? openStatus : AVERROR(EINVAL));
    return;
  }
  force = force || std::exchange(forceNext, false);
  // Times must rise for the compressor's rate control; equal ones move up a tick.
  if (pts <= lastPts) pts = lastPts + 1;
  lastPts = pts;
  // libx264 counts frames only, so the time limit is kept here.
  const double limit = settings.maxKeyFrameIntervalDuration * kTimescale;
  if (limit > 0 && lastKeyPts && double(pts - *lastKeyPts) >= limit - 0.5) force = true;

  AVFrame* frame = pictureOf(buffer);
  if (frame == nullptr) {
    logger().error("Encode callback failed: %d", AVERROR(ENOMEM));
    return;
  }
  frame->pts = pts;
  frame->pict_type = force ? AV_PICTURE_TYPE_I : AV_PICTURE_TYPE_NONE;
  int status = avcodec_send_frame(context.get(), frame);
  if (frame == picture.get()) av_frame_unref(frame);
  if (status < 0) {
    logger().error("Encode callback failed: %d", status);
    return;
  }
  while ((status = avcodec_receive_packet(context.get(), packet.get())) == 0) {
    emit(*packet);
    av_packet_unref(packet.get());
  }
  if (status != AVERROR(EAGAIN)) logger().error("Encode callback failed: %d", status);
}

// The picture as libavcodec takes it: NV12 lent as it is (the buffer stays alive while
// libavcodec holds it), or converted to I420 for libx265.
AVFrame* LibavVideoEncoder::Core::pictureOf(const SharedPixelBuffer& buffer) {
  const auto y = buffer->planeY();
  const auto uv = buffer->planeUV();
  if (hevc()) {
    AVFrame* frame = converted.get();
    if (av_frame_make_writable(frame) < 0) return nullptr;
    libyuv::NV12ToI420(y.data(), buffer->strideY(), uv.data(), buffer->strideUV(), frame->data[0],
                       frame->linesize[0], frame->data[1], frame->linesize[1], frame->data[2],
                       frame->linesize[2], buffer->width(), buffer->height());
    return frame;
  }
  auto* holder = new SharedPixelBuffer(buffer);
  AVBufferRef* ref = av_buffer_create(
      const_cast<std::uint8_t*>(y.data()), int(uv.data() + uv.size() - y.data()),
      [](void* opaque, std::uint8_t*) { delete static_cast<SharedPixelBuffer*>(opaque); }, holder,
      AV_BUFFER_FLAG_READONLY);
  if (ref == nullptr) {
    delete holder;
    return nullptr;
  }
  AVFrame* frame = picture.get();
  frame->buf[0] = ref;
  frame->format = AV_PIX_FMT_NV12;
  frame->width = buffer->width();
  frame->height = buffer->height();
  frame->data[0] = const_cast<std::uint8_t*>(y.data());
  frame->data[1] = const_cast<std::uint8_t*>(uv.data());
  frame->linesize[0] = buffer->strideY();
  frame->linesize[1] = buffer->strideUV();
  return frame;
}

// The packet's bytes are copied once, into an output buffer; from there they go to the link as
// they are.
void LibavVideoEncoder::Core::emit(const AVPacket& out) {
  const ByteView unit(out.data, std::size_t(out.size));
  const double time = double(out.pts) / kTimescale;
  const bool idr = holdsIDR(settings.codec, unit);
  runtime::PooledBytes bytes;
  if (unit.size() > pool->size()) {
    bytes = runtime::PooledBytes::oneOff(unit, EncodedFrame::kHeadroom);
  } else if (auto buffer = pool->acquire()) {
    std::memcpy(buffer.payload().data(), unit.data(), unit.size());
    bytes = runtime::PooledBytes(std::move(buffer), unit.size());
  } else {
    // Every buffer is still on its way to the phone: this unit is lost, so the pictures after
    // it could not be decoded until the next keyframe, which the next picture becomes.
    logger().debug("Dropped frame at %f", time);
    forceNext = true;
    return;
  }
  if (idr) lastKeyPts = out.pts;
  output(EncodedFrame(std::move(bytes), idr, time));
}

streaming::VideoEncoderFactory LibavVideoEncoder::factory(LibavEncoderOptions options) {
  return [options](const EncoderSettings& settings, Output output) {
    return std::make_unique<LibavVideoEncoder>(settings, std::move(output), options);
  };
}

}  // namespace brindlet::platform::media
