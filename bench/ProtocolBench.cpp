// Hot paths of the wire protocol: cutting a video stream into frames, and the control envelope.

#include <cstring>

#include "BenchSupport.h"
#include "protocol/ControlEnvelope.h"
#include "protocol/Frame.h"

namespace {

using namespace brindlet::protocol;
using brindlet::runtime::Bytes;
using brindlet::runtime::ByteView;

constexpr std::size_t kFrameBytes = 256 * 1024;
constexpr std::size_t kChunk = 64 * 1024;
constexpr int kFrames = 32;

const Bytes& videoStream() {
  static const Bytes stream = [] {
    Bytes out;
    for (int i = 0; i < kFrames; ++i) {
      Frame f{Channel::video, i % 8 == 0 ? FrameFlags::keyframe : FrameFlags{},
              Bytes(kFrameBytes, std::uint8_t(i))};
      const Bytes wire = f.encoded();
      out.insert(out.end(), wire.begin(), wire.end());
    }
    return out;
  }();
  return stream;
}

void BM_FrameParser(benchmark::State& state) {
  const Bytes& stream = videoStream();
  FrameParser parser;
  for (auto _ : state) {
    std::size_t frames = 0;
    for (std::size_t at = 0; at < stream.size(); at += kChunk) {
      const auto chunk = ByteView(stream).subspan(at, std::min(kChunk, stream.size() - at));
      frames += parser.push(chunk).size();
    }
    benchmark::DoNotOptimize(frames);
  }
  state.SetBytesProcessed(std::int64_t(state.iterations()) * std::int64_t(stream.size()));
}
BENCHMARK(BM_FrameParser);

// The reference: copying the same bytes once, in the same chunks, into frame-sized buffers.
void BM_Memcpy(benchmark::State& state) {
  const Bytes& stream = videoStream();
  Bytes destination(stream.size());
  for (auto _ : state) {
    for (std::size_t at = 0; at < stream.size(); at += kChunk) {
      const std::size_t n = std::min(kChunk, stream.size() - at);
      std::memcpy(destination.data() + at, stream.data() + at, n);
    }
    benchmark::DoNotOptimize(destination.data());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(std::int64_t(state.iterations()) * std::int64_t(stream.size()));
}
BENCHMARK(BM_Memcpy);

void BM_TouchRoundTrip(benchmark::State& state) {
  const ControlEnvelope touch(
      9, Touch{TouchPhase::moved, 0.25, 0.5, MouseButton::left, PointerKind::pencil, 0.75});
  for (auto _ : state) {
    const std::string json = touch.encodedJSON();
    benchmark::DoNotOptimize(ControlEnvelope::decode(json));
  }
}
BENCHMARK(BM_TouchRoundTrip);

void BM_DeckStateRoundTrip(benchmark::State& state) {
  DeckState deck{"com.example.profile", {}};
  for (int i = 0; i < 20; ++i) {
    KeyState look;
    look.ring = RingState::good;
    look.label = "Key " + std::to_string(i);
    look.symbol = "speaker.wave.2";
    look.value = i * 0.05;
    look.lines = std::vector<std::string>{"line one", "line two"};
    deck.states.emplace("key" + std::to_string(i), look);
  }
  const ControlEnvelope envelope(30, deck);
  for (auto _ : state) {
    const std::string json = envelope.encodedJSON();
    benchmark::DoNotOptimize(ControlEnvelope::decode(json));
  }
}
BENCHMARK(BM_DeckStateRoundTrip);

}  // namespace

int main(int argc, char** argv) {
  auto& r = brindlet::bench::runAll(argc, argv);
  const double parser = r["BM_FrameParser"].bytesPerSecond;
  const double memcpy = r["BM_Memcpy"].bytesPerSecond;
  std::printf(
      "\nframe parser, 256 KiB video frames in 64 KiB chunks: %.2f GB/s; memcpy of the same "
      "bytes: %.2f GB/s; ratio %.2f (goal >= 0.5)\n",
      parser / 1e9, memcpy / 1e9, memcpy > 0 ? parser / memcpy : 0.0);
  std::printf(
      "touch encode+decode: %.2f us (goal < 5 us); deckState with 20 keys encode+decode: "
      "%.2f us\n",
      r["BM_TouchRoundTrip"].nsPerIteration / 1e3, r["BM_DeckStateRoundTrip"].nsPerIteration / 1e3);
  return 0;
}
