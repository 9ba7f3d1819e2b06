#pragma once

// Drawing pieces the kit's looks share: continuous-corner shapes, the stand-in material, fonts
// sized in points, and layers with blurred shadows and a brightness shift. Lengths are in points;
// the paint device's pixel ratio and the painter's scale turn them into pixels.

#include <QColor>
#include <QFont>
#include <QPainterPath>
#include <QRectF>

#include <functional>
#include <initializer_list>
#include <vector>

#include "design/Color.h"

class QImage;
class QPaintDevice;
class QPainter;

namespace brindlet::design {

QColor toQColor(const Rgba& color);

// A rounded rectangle with continuous (curvature-smoothed) corners; a radius of half the shorter
// side gives a capsule, and of a square a circle.
struct RoundedShape {
  QRectF rect;
  double radius = 0;

  QPainterPath path() const;
  // The same shape moved inwards by `inset` on every edge, its radius shrunk with it.
  RoundedShape inset(double by) const;
  static RoundedShape capsule(const QRectF& rect);
};

// Strokes `shape` inside its border: the line's outer edge is the shape's edge.
void strokeInside(QPainter& painter, const RoundedShape& shape, double width, const QBrush& brush);

// The ultra-thin material where no blur is at hand: a translucent fill and a white 0.5-point edge.
void paintUltraThinMaterial(QPainter& painter, const RoundedShape& shape, Appearance appearance);

// Puts a view on glass: the ultra-thin material in a capsule filling `rect`.
void paintGlassCapsule(QPainter& painter, const QRectF& rect, Appearance appearance);

// The system font at `size` points (DejaVu Sans), for text painted on `device` (nothing: the
// screen).
QFont systemFont(const QPaintDevice* device, double size, QFont::Weight weight);

struct Shadow {
  Rgba color;  // with the shadow's opacity as alpha
  double radius = 0;
  QPointF offset;
};

// Paints `content` (in the painter's coordinates, inside `bounds`) as one group: into a layer at
// the device's resolution, under the layer's shadows (first one lowest), with every colour shifted
// by `brightness` (−1 to 1).
void paintLayer(QPainter& painter, const QRectF& bounds, const std::vector<Shadow>& shadows,
                double brightness, const std::function<void(QPainter&)>& content);

// Gaussian blur (three box passes) of an 8-bit alpha image in place; `sigma` in pixels.
void blurAlpha(QImage& alpha, double sigma);

// Gaussian blur of an opaque picture in place (converted to RGB32), as if its edge pixels went on
// beyond it, so that the edges stay opaque and do not darken.
void blurOpaque(QImage& image, double sigma);

// Adds `amount` of white (or of black, when negative) to every channel of a premultiplied image.
void shiftBrightness(QImage& image, double amount);

}  // namespace brindlet::design
