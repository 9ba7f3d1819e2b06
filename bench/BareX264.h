#pragma once

// libx264 called straight through libavcodec, on the caller's thread, with the settings the
// encoder gives it at balanced quality: the reference the video path's encoding is measured
// against.

#include <cstdint>
#include <functional>
#include <stdexcept>
#include <utility>

#include "streaming/PixelBuffer.h"

extern "C" {
#include <libavcodec/avcodec.h>
}

namespace brindlet::bench {

class BareX264 {
 public:
  BareX264(int width, int height, int rate, int threads) : width_(width), height_(height) {
    const AVCodec* codec = avcodec_find_encoder_by_name("libx264");
    context_ = avcodec_alloc_context3(codec);
    context_->width = width;
    context_->height = height;
    context_->pix_fmt = AV_PIX_FMT_NV12;
    context_->time_base = {1, 90000};
    context_->framerate = {rate, 1};
    context_->gop_size = 120;
    context_->max_b_frames = 0;
    context_->bit_rate = 10'000'000;
    context_->rc_max_rate = 15'000'000;
    context_->rc_buffer_size = 15'000'000;
    context_->thread_count = threads;
    context_->thread_type = FF_THREAD_SLICE;
    context_->colorspace = AVCOL_SPC_SMPTE170M;
    context_->color_range = AVCOL_RANGE_MPEG;
    AVDictionary* options = nullptr;
    for (auto [key, value] : {std::pair{"preset", "ultrafast"},
                              {"tune", "zerolatency"},
                              {"profile", "high"},
                              {"forced-idr", "1"},
                              {"x264-params", "scenecut=0"}}) {
      av_dict_set(&options, key, value, 0);
    }
    if (avcodec_open2(context_, codec, &options) < 0) throw std::runtime_error("no libx264");
    av_dict_free(&options);
    rate_ = rate;
  }
  ~BareX264() {
    av_packet_free(&packet_);
    av_frame_free(&frame_);
    avcodec_free_context(&context_);
  }
  BareX264(const BareX264&) = delete;
  BareX264& operator=(const BareX264&) = delete;

  // Encodes picture number `index`; `packet` gets the size of each packet it gives.
  void encode(const streaming::PixelBuffer& picture, std::int64_t index,
              const std::function<void(std::size_t size)>& packet) {
    // Lent, not copied, as the encoder lends it.
    frame_->buf[0] = av_buffer_create(
        const_cast<std::uint8_t*>(picture.planeY().data()), int(width_ * height_ * 3 / 2),
        [](void*, std::uint8_t*) {}, nullptr, AV_BUFFER_FLAG_READONLY);
    frame_->format = AV_PIX_FMT_NV12;
    frame_->width = width_;
    frame_->height = height_;
    frame_->data[0] = const_cast<std::uint8_t*>(picture.planeY().data());
    frame_->data[1] = const_cast<std::uint8_t*>(picture.planeUV().data());
    frame_->linesize[0] = frame_->linesize[1] = picture.strideY();
    frame_->pts = index * 90000 / rate_;
    avcodec_send_frame(context_, frame_);
    av_frame_unref(frame_);
    while (avcodec_receive_packet(context_, packet_) == 0) {
      packet(std::size_t(packet_->size));
      av_packet_unref(packet_);
    }
  }

 private:
  int width_, height_, rate_ = 60;
  AVCodecContext* context_ = nullptr;
  AVFrame* frame_ = av_frame_alloc();
  AVPacket* packet_ = av_packet_alloc();
};

}  // namespace brindlet::bench
