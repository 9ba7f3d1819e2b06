// Writes one PNG per look of the design kit into the folder given, at two pixels per point, and
// with the app's interface built, its windows and menu into the folder's "app".

#include <QApplication>

#include <cstdio>
#include <cstdlib>
#include <filesystem>

#include "Gallery.h"
#ifdef BRINDLET_APP_GALLERY
#include "AppGallery.h"
#endif

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: design-gallery <folder>\n");
    return 2;
  }
  // The gallery never shows a window: without a chosen platform it needs no display.
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
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
#ifdef BRINDLET_APP_GALLERY
  std::filesystem::create_directories(folder / "app", error);
  if (error || !brindlet::app::ui::writeAppGallery(folder / "app")) {
    std::fprintf(stderr, "design-gallery: cannot write the app's pictures\n");
    return 1;
  }
#endif
  return 0;
}
