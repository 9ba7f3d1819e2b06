#include "platform/linux/media/LibavFormatValidator.h"

#include <cstring>
#include <memory>
#include <set>
#include <span>

#include "protocol/AnnexB.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/error.h>
#include <libavutil/mem.h>
}

namespace brindlet::platform::media {

using protocol::Codec;
using protocol::NALType;
using runtime::Bytes;

namespace {

struct ContextDeleter {
  void operator()(AVCodecContext* context) const { avcodec_free_context(&context); }
};
using ContextPtr = std::unique_ptr<AVCodecContext, ContextDeleter>;

// libavcodec opens a decoder from a sequence parameter set alone, but no picture can be decoded
// without the picture parameter set (and, for HEVC, the video parameter set) as well.
bool hasEverySetNeeded(Codec codec, std::span<const Bytes> parameterSets) {
  std::set<NALType::ParameterSet> present;
  for (const Bytes& set : parameterSets) {
    if (set.empty()) continue;
    const NALType type = NALType::classify(codec, set[0]);
    if (type.isParameterSet()) present.insert(type.parameterSetKind());
  }
  const bool common =
      present.contains(NALType::ParameterSet::sps) && present.contains(NALType::ParameterSet::pps);
  return codec == Codec::h264 ? common : common && present.contains(NALType::ParameterSet::vps);
}

}  // namespace

std::int32_t LibavFormatValidator::validate(Codec codec,
                                            std::span<const Bytes> parameterSets) const {
  if (!hasEverySetNeeded(codec, parameterSets)) return AVERROR_INVALIDDATA;
  const AVCodec* decoder =
      avcodec_find_decoder(codec == Codec::hevc ? AV_CODEC_ID_HEVC : AV_CODEC_ID_H264);
  if (decoder == nullptr) return AVERROR_DECODER_NOT_FOUND;
  ContextPtr context(avcodec_alloc_context3(decoder));
  if (!context) return AVERROR(ENOMEM);

  const Bytes extradata = protocol::AnnexB::join(parameterSets);
  // libavcodec reads up to its padding size past the end, so the copy carries zeroed padding.
  auto* copy =
      static_cast<std::uint8_t*>(av_mallocz(extradata.size() + AV_INPUT_BUFFER_PADDING_SIZE));
  if (copy == nullptr) return AVERROR(ENOMEM);
  std::memcpy(copy, extradata.data(), extradata.size());
  context->extradata = copy;  // freed with the context
  context->extradata_size = static_cast<int>(extradata.size());
  // Without this, the H.264 decoder only warns about parameter sets it can't read.
  context->err_recognition |= AV_EF_EXPLODE;
  context->thread_count = 1;
  const int status = avcodec_open2(context.get(), decoder, nullptr);
  return status < 0 ? status : 0;
}

}  // namespace brindlet::platform::media
