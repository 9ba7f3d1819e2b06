#pragma once

// Every look of the design kit, named, sized and ready to paint: the gallery program writes
// them as pictures, its test reads them back, and the benchmark renders them.

#include <QImage>
#include <QSizeF>

#include <functional>
#include <string>
#include <vector>

class QPainter;

namespace brindlet::design {

struct GalleryLook {
  std::string name;
  QSizeF size;  // points
  std::function<void(QPainter&)> paint;
};

// Every look, with animations at their end.
std::vector<GalleryLook> galleryLooks();
// The picture's size in pixels at `scale` pixels per point.
QSize pixelSize(const GalleryLook& look, double scale);
QImage render(const GalleryLook& look, double scale);

}  // namespace brindlet::design
