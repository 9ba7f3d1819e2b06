#include "platform/linux/media/LibavCompressionSession.h"

#include <libyuv/convert.h>

#include <cmath>
#include <limits>
#include <string>

#include <boost/asio/post.hpp>

#include "protocol/AnnexB.h"
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
using runtime::Bytes;
using runtime::ByteView;
using streaming::CompressedSample;
using streaming::CompressionProperty;
using streaming::PropertyValue;
using streaming::SessionOutput;
using streaming::SessionRequest;
using streaming::SharedPixelBuffer;

namespace {

// Fine enough that any capture time keeps its place, and the usual rate of video streams.
constexpr int kTimescale = 90000;

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

// The rate control: the average and, from the data-rate limit, a ceiling over one buffer.
struct Rate {
  std::int64_t bitRate = 0;
  std::int64_t maxRate = 0;
  int bufferSize = 0;  // bits
};

struct Config {
  int keyFrameInterval = 120;       // frames
  double keyFrameIntervalTime = 0;  // seconds; 0: no limit
  int frameRate = 60;
  Rate rate;
};

// Whether an access unit holds an IDR picture, where decoding can start afresh. An HEVC clean
// random access picture does not count: pictures after it may refer to ones before.
bool holdsIDR(Codec codec, ByteView units) {
  std::size_t at = 0;
  while (at + 4 < units.size()) {
    const std::size_t length = (std::size_t(units[at]) << 24) | (std::size_t(units[at + 1]) << 16) |
                               (std::size_t(units[at + 2]) << 8) | units[at + 3];
    at += 4;
    if (length == 0 || length > units.size() - at) return false;
    const std::uint8_t first = units[at];
    const bool cleanRandomAccess = codec == Codec::hevc && ((first >> 1) & 0x3F) == 21;
    if (protocol::NALType::classify(codec, first) == protocol::NALType::idr() &&
        !cleanRandomAccess) {
      return true;
    }
    at += length;
  }
  return false;
}

// The parameter sets of the stream header libavcodec made, in its order; the x265 SEI and
// anything else that isn't one is left out.
std::vector<Bytes> parameterSetsOf(Codec codec, const AVCodecContext& context) {
  std::vector<Bytes> sets;
  if (context.extradata == nullptr) return sets;
  auto units = protocol::AnnexB::nalUnitsLengthPrefixed(
      ByteView(context.extradata, std::size_t(context.extradata_size)), 4);
  if (!units) return sets;
  for (Bytes& unit : *units) {
    if (!unit.empty() && protocol::NALType::classify(codec, unit[0]).isParameterSet()) {
      sets.push_back(std::move(unit));
    }
  }
  return sets;
}

template <class T>
const T* valueAs(const PropertyValue& value) {
  return std::get_if<T>(&value);
}

class LibavCompressionSession final : public streaming::CompressionSession {
 public:
  LibavCompressionSession(const SessionRequest& request, SessionOutput output,
                          LibavSessionOptions options)
      : request_(request), output_(std::move(output)), options_(options) {}

  ~LibavCompressionSession() override { worker_.stop(); }

  std::int32_t setProperty(CompressionProperty key, const PropertyValue& value) override;
  std::int32_t prepare() override;
  std::int32_t encode(SharedPixelBuffer buffer, MediaTime time, MediaTime duration,
                      bool forceKeyframe) override;
  boost::asio::awaitable<void> completeFrames() override;

 private:
  bool hevc() const { return request_.codec == Codec::hevc; }
  std::int32_t setRate(CompressionProperty key, const PropertyValue& value);
  std::int32_t open(const Rate& rate);
  void encodeNow(const SharedPixelBuffer& buffer, std::int64_t pts, bool force);
  void applyRateChange(bool& force);
  AVFrame* pictureOf(const SharedPixelBuffer& buffer);
  void emit(const AVPacket& packet);

  const SessionRequest request_;
  const SessionOutput output_;
  const LibavSessionOptions options_;
  // The controlling thread's: settled before prepare, only the rate changes after.
  Config config_;
  bool prepared_ = false;

  // The worker's own from prepare on.
  Rate pendingRate_;  // for the next frame
  bool rateChanged_ = false;
  ContextPtr context_;
  std::int32_t openStatus_ = 0;  // why there is no context
  FramePtr picture_;             // the frame handed to libavcodec
  FramePtr converted_;           // HEVC's I420 copy of the picture
  PacketPtr packet_{av_packet_alloc()};
  std::shared_ptr<const protocol::VideoFormat> format_;
  std::int64_t lastPts_ = std::numeric_limits<std::int64_t>::min();
  std::optional<std::int64_t> lastKeyPts_;

  runtime::WorkerThread worker_{"encoder"};
};

std::int32_t LibavCompressionSession::setProperty(CompressionProperty key,
                                                  const PropertyValue& value) {
  if (key == CompressionProperty::averageBitRate || key == CompressionProperty::dataRateLimits) {
    return setRate(key, value);
  }
  if (prepared_) return AVERROR(EBUSY);  // fixed once the stream runs
  switch (key) {
    case CompressionProperty::realTime:
      // Real time is the only way this session works.
      return valueAs<bool>(value) ? 0 : AVERROR(EINVAL);
    case CompressionProperty::profileLevel: {
      const auto* word = valueAs<std::string>(value);
      const std::string_view wanted =
          hevc() ? streaming::kHEVCMainAutoLevel : streaming::kH264HighAutoLevel;
      return word && *word == wanted ? 0 : AVERROR(EINVAL);
    }
    case CompressionProperty::allowFrameReordering: {
      const auto* allow = valueAs<bool>(value);
      if (!allow) return AVERROR(EINVAL);
      return *allow ? AVERROR(ENOTSUP) : 0;  // output order is always input order
    }
    case CompressionProperty::maxKeyFrameInterval: {
      const auto* frames = valueAs<std::int64_t>(value);
      if (!frames || *frames < 1 || *frames > std::numeric_limits<int>::max()) {
        return AVERROR(EINVAL);
      }
      config_.keyFrameInterval = int(*frames);
      return 0;
    }
    case CompressionProperty::maxKeyFrameIntervalDuration: {
      const auto* seconds = valueAs<double>(value);
      if (!seconds || !std::isfinite(*seconds) || *seconds < 0) return AVERROR(EINVAL);
      config_.keyFrameIntervalTime = *seconds;
      return 0;
    }
    case CompressionProperty::expectedFrameRate: {
      const auto* rate = valueAs<std::int64_t>(value);
      if (!rate || *rate < 1 || *rate > kTimescale) return AVERROR(EINVAL);
      config_.frameRate = int(*rate);
      return 0;
    }
    default:
      return AVERROR_OPTION_NOT_FOUND;
  }
}

std::int32_t LibavCompressionSession::setRate(CompressionProperty key, const PropertyValue& value) {
  Rate& rate = config_.rate;
  if (key == CompressionProperty::averageBitRate) {
    const auto* bits = valueAs<std::int64_t>(value);
    if (!bits || *bits <= 0) return AVERROR(EINVAL);
    rate.bitRate = *bits;
  } else {
    const auto* limit = valueAs<std::vector<double>>(value);
    if (!limit || limit->size() != 2) return AVERROR(EINVAL);
    const double bytes = (*limit)[0];
    const double seconds = (*limit)[1];
    if (!std::isfinite(bytes) || !std::isfinite(seconds) || bytes <= 0 || seconds <= 0 ||
        bytes * 8 > std::numeric_limits<int>::max()) {
      return AVERROR(EINVAL);
    }
    rate.maxRate = std::llround(bytes * 8 / seconds);
    rate.bufferSize = int(std::lround(bytes * 8));
  }
  // A running stream takes the change in line with its frames: those queued before keep the
  // old rate.
  if (prepared_) {
    boost::asio::post(worker_.executor(), [this, rate] {
      pendingRate_ = rate;
      rateChanged_ = true;
    });
  }
  return 0;
}

std::int32_t LibavCompressionSession::prepare() {
  if (prepared_) return AVERROR(EBUSY);
  prepared_ = true;
  const std::int32_t status = open(config_.rate);
  if (status != 0) openStatus_ = status;
  return status;
}

// Runs before the first frame on the caller's thread, later on the worker's.
std::int32_t LibavCompressionSession::open(const Rate& rate) {
  context_.reset();
  const AVCodec* codec = avcodec_find_encoder_by_name(hevc() ? "libx265" : "libx264");
  if (codec == nullptr) return AVERROR_ENCODER_NOT_FOUND;
  ContextPtr context(avcodec_alloc_context3(codec));
  if (!context) return AVERROR(ENOMEM);
  context->width = request_.width;
  context->height = request_.height;
  context->pix_fmt = hevc() ? AV_PIX_FMT_YUV420P : AV_PIX_FMT_NV12;
  context->time_base = {1, kTimescale};
  context->framerate = {config_.frameRate, 1};
  context->gop_size = config_.keyFrameInterval;
  context->max_b_frames = 0;
  context->bit_rate = rate.bitRate;
  context->rc_max_rate = rate.maxRate;
  context->rc_buffer_size = rate.bufferSize;
  context->thread_count = options_.threads;
  // Slices, not frames, in parallel: frame threads would hold pictures back.
  context->thread_type = FF_THREAD_SLICE;
  // The parameter sets come once, in the stream header; samples hold pictures only.
  context->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
  // What capture's conversion produced.
  context->colorspace = AVCOL_SPC_SMPTE170M;
  context->color_range = AVCOL_RANGE_MPEG;

  AVDictionary* options = nullptr;
  av_dict_set(&options, "preset", "ultrafast", 0);
  av_dict_set(&options, "tune", "zerolatency", 0);
  av_dict_set(&options, "profile", hevc() ? "main" : "high", 0);
  av_dict_set(&options, "forced-idr", "1", 0);
  // Length-prefixed units; keyframes only where asked or due. x265 keeps frame threads and
  // lookahead off so that nothing waits for the next picture, and starts every keyframe with
  // an IDR picture rather than a clean random access one.
  if (hevc()) {
    av_dict_set(&options, "x265-params",
                "annexb=0:open-gop=0:frame-threads=1:rc-lookahead=0:scenecut=0:log-level=error", 0);
  } else {
    av_dict_set(&options, "x264-params", "annexb=0:scenecut=0", 0);
  }
  const int status = avcodec_open2(context.get(), codec, &options);
  av_dict_free(&options);
  if (status < 0) return status;

  auto sets = parameterSetsOf(request_.codec, *context);
  if (sets.empty()) return AVERROR_BUG;
  format_ = std::make_shared<protocol::VideoFormat>(
      protocol::VideoFormat{request_.codec, std::move(sets), 4});
  if (hevc()) {
    converted_.reset(av_frame_alloc());
    if (!converted_) return AVERROR(ENOMEM);
    converted_->format = AV_PIX_FMT_YUV420P;
    converted_->width = request_.width;
    converted_->height = request_.height;
    if (const int s = av_frame_get_buffer(converted_.get(), 0); s < 0) return s;
  }
  picture_.reset(av_frame_alloc());
  if (!picture_ || !packet_) return AVERROR(ENOMEM);
  context_ = std::move(context);
  return 0;
}

std::int32_t LibavCompressionSession::encode(SharedPixelBuffer buffer, MediaTime time, MediaTime,
                                             bool forceKeyframe) {
  if (!buffer || buffer->width() != request_.width || buffer->height() != request_.height ||
      !time.isValid()) {
    return AVERROR(EINVAL);
  }
  const std::int64_t pts =
      av_rescale_rnd(time.value, kTimescale, time.timescale, AV_ROUND_NEAR_INF);
  boost::asio::post(worker_.executor(),
                    [this, buffer = std::move(buffer), pts, forceKeyframe]() mutable {
                      encodeNow(buffer, pts, forceKeyframe);
                    });
  return 0;
}

boost::asio::awaitable<void> LibavCompressionSession::completeFrames() {
  // Each frame's job ends with its packets handed out, so the queue being through is enough.
  co_await runtime::offload(worker_.executor(), [] {});
}

void LibavCompressionSession::applyRateChange(bool& force) {
  if (!rateChanged_) return;
  rateChanged_ = false;
  const Rate rate = pendingRate_;
  // Neither wrapper can move the average while running: libx265's ignores a new rate, and
  // libx264's passes it on, but x264 then changes only its ceiling, not the average it aims
  // at. So a fresh compressor, whose first picture is a keyframe with its own parameter sets.
  openStatus_ = open(rate);
  force = true;
}

void LibavCompressionSession::encodeNow(const SharedPixelBuffer& buffer, std::int64_t pts,
                                        bool force) {
  applyRateChange(force);
  if (!context_) {
    output_(openStatus_ != 0 ? openStatus_ : AVERROR(EINVAL), std::nullopt);
    return;
  }
  // Times must rise for the compressor's rate control; equal ones move up a tick.
  if (pts <= lastPts_) pts = lastPts_ + 1;
  lastPts_ = pts;
  // libx264 counts frames only, so the time limit is kept here.
  const double limit = config_.keyFrameIntervalTime * kTimescale;
  if (limit > 0 && lastKeyPts_ && double(pts - *lastKeyPts_) >= limit - 0.5) force = true;

  AVFrame* picture = pictureOf(buffer);
  if (picture == nullptr) {
    output_(AVERROR(ENOMEM), std::nullopt);
    return;
  }
  picture->pts = pts;
  picture->pict_type = force ? AV_PICTURE_TYPE_I : AV_PICTURE_TYPE_NONE;
  int status = avcodec_send_frame(context_.get(), picture);
  if (picture == picture_.get()) av_frame_unref(picture);
  if (status < 0) {
    output_(status, std::nullopt);
    return;
  }
  while ((status = avcodec_receive_packet(context_.get(), packet_.get())) == 0) {
    emit(*packet_);
    av_packet_unref(packet_.get());
  }
  if (status != AVERROR(EAGAIN)) output_(status, std::nullopt);
}

// The picture as libavcodec takes it: NV12 lent as it is (the buffer stays alive while
// libavcodec holds it), or converted to I420 for libx265.
AVFrame* LibavCompressionSession::pictureOf(const SharedPixelBuffer& buffer) {
  const auto y = buffer->planeY();
  const auto uv = buffer->planeUV();
  if (hevc()) {
    AVFrame* frame = converted_.get();
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
  AVFrame* frame = picture_.get();
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

void LibavCompressionSession::emit(const AVPacket& packet) {
  CompressedSample sample;
  sample.data.assign(packet.data, packet.data + packet.size);
  const bool idr = holdsIDR(request_.codec, sample.data);
  if (idr) lastKeyPts_ = packet.pts;
  sample.notSync = !idr;
  sample.format = format_;
  sample.presentationTime = {packet.pts, kTimescale};
  output_(0, std::move(sample));
}

}  // namespace

streaming::CompressionSessionFactory libavSessionFactory(LibavSessionOptions options) {
  return [options](const SessionRequest& request, SessionOutput output) {
    const char* name = request.codec == Codec::hevc ? "libx265" : "libx264";
    if (avcodec_find_encoder_by_name(name) == nullptr) {
      return streaming::SessionCreation{AVERROR_ENCODER_NOT_FOUND, nullptr};
    }
    return streaming::SessionCreation{
        0, std::make_unique<LibavCompressionSession>(request, std::move(output), options)};
  };
}

}  // namespace brindlet::platform::media
