// Rendering every look of the design kit's gallery at two pixels per point, beside PNG-encoding
// as many blank pictures of the same sizes: the goal is all looks in at most 2 s.

#include <benchmark/benchmark.h>

#include <QBuffer>
#include <QElapsedTimer>
#include <QGuiApplication>

#include <cstdio>

#include "BenchSupport.h"
#include "Gallery.h"

namespace {

using brindlet::design::galleryLooks;

constexpr double kScale = 2;
constexpr const char* kRender = "renderEveryLook";
constexpr const char* kEncode = "pngEncodeBlankPictures";

void renderEveryLook(benchmark::State& state) {
  const auto looks = galleryLooks();
  for (auto _ : state)
    for (const auto& look : looks) benchmark::DoNotOptimize(brindlet::design::render(look, kScale));
  state.counters["looks"] = double(looks.size());
}
BENCHMARK(renderEveryLook)->Name(kRender)->Unit(benchmark::kMillisecond);

void pngEncodeBlankPictures(benchmark::State& state) {
  std::vector<QImage> blanks;
  for (const auto& look : galleryLooks()) {
    QImage blank(brindlet::design::pixelSize(look, kScale), QImage::Format_ARGB32_Premultiplied);
    blank.fill(Qt::transparent);
    blanks.push_back(std::move(blank));
  }
  for (auto _ : state)
    for (const QImage& blank : blanks) {
      QByteArray bytes;
      QBuffer buffer(&bytes);
      buffer.open(QIODevice::WriteOnly);
      blank.save(&buffer, "PNG");
      benchmark::DoNotOptimize(bytes.data());
    }
}
BENCHMARK(pngEncodeBlankPictures)->Name(kEncode)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QGuiApplication app(argc, argv);
  // The first pass also reads the symbols' icons; later passes find them cached.
  QElapsedTimer cold;
  cold.start();
  for (const auto& look : galleryLooks()) brindlet::design::render(look, kScale);
  const double coldMs = double(cold.nsecsElapsed()) / 1e6;

  auto& figures = brindlet::bench::runAll(argc, argv);
  const double renderMs = figures[kRender].nsPerIteration;  // in the runs' unit: ms
  const double encodeMs = figures[kEncode].nsPerIteration;
  std::printf(
      "every look rendered: %.1f ms (first pass %.1f ms; goal <= 2000 ms); PNG-encoding as many "
      "blank pictures: %.1f ms; render / encode = %.2f\n",
      renderMs, coldMs, encodeMs, encodeMs > 0 ? renderMs / encodeMs : 0.0);
  return 0;
}
