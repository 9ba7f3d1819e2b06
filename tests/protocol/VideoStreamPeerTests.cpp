// Streams made by ffmpeg's own encoders (libx264, libx265), checked against ffmpeg's own reading
// of them: its trace of every packet's NAL unit types, and its frame count.
#include <gtest/gtest.h>

#include <filesystem>
#include <iterator>
#include <sstream>

#include "platform/linux/media/LibavFormatValidator.h"
#include "protocol/AnnexB.h"
#include "protocol/SampleBufferBuilder.h"
#include "support/Ffmpeg.h"
#include "support/TempDir.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/log.h>
}

namespace brindlet::protocol {
namespace {

namespace fs = std::filesystem;
using platform::media::LibavFormatValidator;
using runtime::Bytes;
using runtime::ByteView;
using Units = std::vector<Bytes>;
using PS = NALType::ParameterSet;

constexpr int kFrames = 40;
constexpr int kKeyframeInterval = 8;

using testsupport::TracedPacket;

struct Stream {
  Codec codec;
  Bytes bytes;
  std::vector<TracedPacket> packets;
  int frameCount = 0;

  // The stream cut where ffmpeg's parser cut it into access units.
  std::vector<ByteView> accessUnits() const {
    std::vector<ByteView> units;
    std::size_t at = 0;
    for (const auto& p : packets) {
      units.push_back(ByteView(bytes).subspan(at, p.size));
      at += p.size;
    }
    return units;
  }
};

std::vector<std::string> words(const std::string& line) {
  std::istringstream in(line);
  return {std::istream_iterator<std::string>(in), {}};
}

Stream encode(Codec codec, const fs::path& dir) {
  const bool hevc = codec == Codec::hevc;
  const std::string file = (dir / (hevc ? "clip.hevc" : "clip.h264")).string();
  auto argv = words(
      "ffmpeg -hide_banner -nostdin -loglevel error -y -f lavfi -i "
      "testsrc=size=320x240:rate=25 -pix_fmt yuv420p -frames:v " +
      std::to_string(kFrames) + " -g " + std::to_string(kKeyframeInterval) +
      (hevc ? " -c:v libx265 -x265-params repeat-headers=1:log-level=error -f hevc"
            : " -c:v libx264 -x264-params repeat-headers=1 -f h264"));
  argv.push_back(file);
  testsupport::runToEnd(argv);
  Stream stream{codec, {}, {}, 0};
  const std::string bytes = testsupport::readFile(file);
  stream.bytes.assign(bytes.begin(), bytes.end());
  stream.packets = testsupport::traceHeaders(file);
  stream.frameCount = testsupport::countFrames(file);
  return stream;
}

// Decodes Annex-B packets with libavcodec and counts the pictures that come out.
class FrameCounter {
 public:
  explicit FrameCounter(Codec codec) {
    const AVCodec* decoder =
        avcodec_find_decoder(codec == Codec::hevc ? AV_CODEC_ID_HEVC : AV_CODEC_ID_H264);
    context_ = avcodec_alloc_context3(decoder);
    context_->thread_count = 1;
    if (avcodec_open2(context_, decoder, nullptr) < 0) throw std::runtime_error("no decoder");
    packet_ = av_packet_alloc();
    frame_ = av_frame_alloc();
  }
  ~FrameCounter() {
    av_frame_free(&frame_);
    av_packet_free(&packet_);
    avcodec_free_context(&context_);
  }
  FrameCounter(const FrameCounter&) = delete;
  FrameCounter& operator=(const FrameCounter&) = delete;

  void decode(const Bytes& data) {
    if (av_new_packet(packet_, static_cast<int>(data.size())) < 0) throw std::bad_alloc();
    std::copy(data.begin(), data.end(), packet_->data);
    const int status = avcodec_send_packet(context_, packet_);
    av_packet_unref(packet_);
    if (status < 0) throw std::runtime_error("packet refused: " + std::to_string(status));
    drain();
  }
  int finish() {
    avcodec_send_packet(context_, nullptr);
    drain();
    return frames_;
  }

 private:
  void drain() {
    while (avcodec_receive_frame(context_, frame_) == 0) {
      ++frames_;
      av_frame_unref(frame_);
    }
  }

  AVCodecContext* context_ = nullptr;
  AVPacket* packet_ = nullptr;
  AVFrame* frame_ = nullptr;
  int frames_ = 0;
};

// What the standards call each type number.
NALType expectedType(Codec codec, int number) {
  const auto type = static_cast<std::uint8_t>(number);
  if (codec == Codec::h264) {
    if (number == 5) return NALType::idr();
    if (number == 7) return NALType::parameterSet(PS::sps);
    if (number == 8) return NALType::parameterSet(PS::pps);
    return NALType::other(type);
  }
  if (number >= 19 && number <= 21) return NALType::idr();
  if (number == 32) return NALType::parameterSet(PS::vps);
  if (number == 33) return NALType::parameterSet(PS::sps);
  if (number == 34) return NALType::parameterSet(PS::pps);
  return NALType::other(type);
}

int typeNumber(Codec codec, std::uint8_t firstByte) {
  return codec == Codec::h264 ? firstByte & 0x1F : (firstByte >> 1) & 0x3F;
}

class VideoStreams : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    av_log_set_level(AV_LOG_QUIET);
    const testsupport::TempDir dir;
    streams_ = {encode(Codec::h264, dir.path()), encode(Codec::hevc, dir.path())};
  }

  static Units parameterSetsOf(const Stream& s) {
    Units sets;
    for (const Bytes& unit : AnnexB::splitNALUnits(s.accessUnits().front())) {
      if (NALType::classify(s.codec, unit[0]).isParameterSet()) sets.push_back(unit);
    }
    return sets;
  }

  static inline std::vector<Stream> streams_;
};

TEST_F(VideoStreams, SplitAndClassifyAgreeWithFfmpegsTrace) {
  for (const Stream& s : streams_) {
    const auto units = s.accessUnits();
    EXPECT_EQ(units.back().data() + units.back().size(), s.bytes.data() + s.bytes.size());
    EXPECT_EQ(s.frameCount, kFrames) << wordOf(s.codec);
    int keys = 0;
    for (const auto& p : s.packets) keys += p.key;
    EXPECT_GE(keys, kFrames / kKeyframeInterval) << wordOf(s.codec);
    for (std::size_t i = 0; i < units.size(); ++i) {
      const TracedPacket& traced = s.packets[i];
      const Units split = AnnexB::splitNALUnits(units[i]);
      std::vector<int> numbers;
      bool idr = false;
      bool sets = false;
      for (const Bytes& unit : split) {
        numbers.push_back(typeNumber(s.codec, unit[0]));
        const NALType type = NALType::classify(s.codec, unit[0]);
        EXPECT_EQ(type, expectedType(s.codec, numbers.back())) << wordOf(s.codec) << " #" << i;
        idr = idr || type == NALType::idr();
        sets = sets || type.isParameterSet();
      }
      EXPECT_EQ(numbers, traced.nalTypes) << wordOf(s.codec) << " packet " << i;
      EXPECT_EQ(idr, traced.key) << wordOf(s.codec) << " packet " << i;
      EXPECT_EQ(sets, traced.key) << wordOf(s.codec) << " packet " << i;
    }
  }
}

TEST_F(VideoStreams, SamplesWrittenBackAsAnnexBDecodeToEveryFrame) {
  for (const Stream& s : streams_) {
    SampleBufferBuilder builder(s.codec, std::make_shared<LibavFormatValidator>());
    FrameCounter counter(s.codec);
    std::shared_ptr<const VideoFormat> format;
    const auto units = s.accessUnits();
    for (std::size_t i = 0; i < units.size(); ++i) {
      SampleBuffer sample;
      try {
        sample = builder.makeSampleBuffer(units[i], double(i) / 25);
      } catch (const SampleBufferBuilder::BuildError& e) {
        FAIL() << wordOf(s.codec) << " packet " << i << ": " << e.text();
      }
      EXPECT_EQ(sample.format != format, s.packets[i].key) << wordOf(s.codec) << " #" << i;
      Bytes packet;
      if (sample.format != format) packet = AnnexB::join(sample.format->parameterSets);
      format = sample.format;
      const auto pictures = AnnexB::fromLengthPrefixed(sample.data, 4);
      ASSERT_TRUE(pictures.has_value());
      packet.insert(packet.end(), pictures->begin(), pictures->end());
      counter.decode(packet);
    }
    EXPECT_EQ(counter.finish(), s.frameCount) << wordOf(s.codec);
  }
}

TEST_F(VideoStreams, DecoderOpensOnlyWithCompleteReadableParameterSets) {
  const Units h264 = parameterSetsOf(streams_[0]);
  const Units hevc = parameterSetsOf(streams_[1]);
  ASSERT_EQ(h264.size(), 2u);
  ASSERT_EQ(hevc.size(), 3u);
  struct Case {
    const char* name;
    Codec codec;
    Units sets;
    bool opens;
  };
  const Case cases[] = {
      {"h264 SPS and PPS", Codec::h264, h264, true},
      {"hevc VPS, SPS and PPS", Codec::hevc, hevc, true},
      {"h264 SPS alone", Codec::h264, {h264[0]}, false},
      {"hevc without VPS", Codec::hevc, {hevc[1], hevc[2]}, false},
      {"nothing", Codec::h264, {}, false},
      // seq_parameter_set_id 32, one past the largest
      {"unreadable h264 SPS",
       Codec::h264,
       {{0x67, 0x42, 0xC0, 0x1E, 0x04, 0x3F, 0xFF}, h264[1]},
       false},
      // refers to video parameter set 15, which doesn't exist
      {"unreadable hevc SPS",
       Codec::hevc,
       {hevc[0], {0x42, 0x01, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}, hevc[2]},
       false},
      {"h264 sets for an hevc decoder", Codec::hevc, h264, false},
  };
  const LibavFormatValidator validator;
  for (const auto& c : cases) {
    const std::int32_t status = validator.validate(c.codec, c.sets);
    if (c.opens) {
      EXPECT_EQ(status, 0) << c.name;
    } else {
      EXPECT_LT(status, 0) << c.name;
    }
  }
}

}  // namespace
}  // namespace brindlet::protocol
