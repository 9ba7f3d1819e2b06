// Writes one PNG per look of the design kit into the folder given, at two pixels per point.

#include <QGuiApplication>

#include <cstdio>
#include <cstdlib>
#include <filesystem>

#include "Gallery.h"

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: design-gallery <folder>\n");
    return 2;
  }
  // The gallery never shows a window: without a chosen platform it needs no display.
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QGuiApplication app(argc, argv);
  const std::filesystem::path folder = argv[1];
  std::error_code error;
  std::filesystem::create_directories(folder, error);
  if (error) {
    std::fprintf(stderr, "design-gallery: cannot create %s: %s\n", folder.c_str(),
                 error.message().c_str());
    return 1;
  }
  for (const auto& look : brindlet::design::galleryLooks()) {
    const std::filesystem::path file = folder / (look.name + ".png");
    if (!brindlet::design::render(look, 2).save(QString::fromStdString(file.string()), "PNG")) {
      std::fprintf(stderr, "design-gallery: cannot write %s\n", file.c_str());
      return 1;
    }
  }
  return 0;
}
