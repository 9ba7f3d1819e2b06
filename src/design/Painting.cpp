#include "design/Painting.h"

#include <QImage>
#include <QPaintDevice>
#include <QPainter>

#include <algorithm>
#include <cmath>

namespace brindlet::design {

QColor toQColor(const Rgba& c) {
  auto clamp = [](double v) { return std::clamp(v, 0.0, 1.0); };
  return QColor::fromRgbF(float(clamp(c.r)), float(clamp(c.g)), float(clamp(c.b)),
                          float(clamp(c.a)));
}

namespace {

// How far a continuous corner reaches along each edge, in radii, and the offset of a circular
// corner's midpoint from either edge, in radii.
constexpr double kCornerReach = 1.528;
constexpr double kArcMidpoint = 1 - 0.7071067811865476;

}  // namespace

QPainterPath RoundedShape::path() const {
  QPainterPath path;
  const double half = std::min(rect.width(), rect.height()) / 2;
  const double r = std::clamp(radius, 0.0, half);
  if (r <= 0) {
    path.addRect(rect);
    return path;
  }
  // Each corner is one cubic from `reach` along one edge to `reach` along the other, its control
  // points a fraction k of the way to the corner, chosen so that the curve passes where a circular
  // corner of radius r would at its middle. A longer reach softens where the curve meets the edge.
  const double reach = std::min(kCornerReach * r, half);
  const double k = (8 * kArcMidpoint * r / reach - 1) / 3;
  const double x0 = rect.left(), y0 = rect.top(), x1 = rect.right(), y1 = rect.bottom();
  auto corner = [&](QPointF from, QPointF c, QPointF to) {
    path.lineTo(from);
    path.cubicTo(c + (from - c) * k, c + (to - c) * k, to);
  };
  path.moveTo(x0 + reach, y0);
  corner({x1 - reach, y0}, {x1, y0}, {x1, y0 + reach});
  corner({x1, y1 - reach}, {x1, y1}, {x1 - reach, y1});
  corner({x0 + reach, y1}, {x0, y1}, {x0, y1 - reach});
  corner({x0, y0 + reach}, {x0, y0}, {x0 + reach, y0});
  path.closeSubpath();
  return path;
}

RoundedShape RoundedShape::inset(double by) const {
  return {rect.adjusted(by, by, -by, -by), std::max(radius - by, 0.0)};
}

RoundedShape RoundedShape::capsule(const QRectF& rect) {
  return {rect, std::min(rect.width(), rect.height()) / 2};
}

void strokeInside(QPainter& painter, const RoundedShape& shape, double width, const QBrush& brush) {
  painter.save();
  painter.setBrush(Qt::NoBrush);
  painter.setPen(QPen(brush, width));
  painter.drawPath(shape.inset(width / 2).path());
  painter.restore();
}

void paintUltraThinMaterial(QPainter& painter, const RoundedShape& shape, Appearance appearance) {
  painter.fillPath(shape.path(), toQColor(systemColor(SystemColor::ultraThinMaterial, appearance)));
  strokeInside(painter, shape, 0.5, toQColor(kWhite.withAlpha(0.18)));
}

void paintGlassCapsule(QPainter& painter, const QRectF& rect, Appearance appearance) {
  paintUltraThinMaterial(painter, RoundedShape::capsule(rect), appearance);
}

QFont systemFont(const QPaintDevice* device, double size, QFont::Weight weight) {
  QFont font(QStringLiteral("DejaVu Sans"));
  // Points of the kit are the device's logical pixels; Qt's point sizes follow its dots per inch.
  const int dpi = device ? device->logicalDpiY() : 96;
  font.setPointSizeF(size * 72.0 / (dpi > 0 ? dpi : 96));
  font.setWeight(weight);
  font.setHintingPreference(QFont::PreferNoHinting);
  return font;
}

namespace {

// From the painter's logical coordinates to the pixels of its device.
QTransform deviceTransform(const QPainter& painter) {
  const double ratio = painter.device() ? painter.device()->devicePixelRatioF() : 1.0;
  return painter.worldTransform() * QTransform::fromScale(ratio, ratio);
}

// Draws `image` with its top-left corner on the device pixel `at`.
void drawAtDevicePixel(QPainter& painter, QPoint at, const QImage& image) {
  const double ratio = painter.device() ? painter.device()->devicePixelRatioF() : 1.0;
  painter.save();
  painter.setWorldTransform(QTransform::fromScale(1 / ratio, 1 / ratio));
  painter.drawImage(at, image);
  painter.restore();
}

QImage shadowOf(const QImage& layer, const Shadow& shadow, double scale) {
  QImage alpha = layer.convertToFormat(QImage::Format_Alpha8);
  blurAlpha(alpha, shadow.radius / 2 * scale);
  QImage tinted(layer.size(), QImage::Format_ARGB32_Premultiplied);
  tinted.fill(Qt::transparent);
  QPainter p(&tinted);
  p.drawImage(0, 0, alpha);
  p.setCompositionMode(QPainter::CompositionMode_SourceIn);
  p.fillRect(tinted.rect(), toQColor(shadow.color));
  return tinted;
}

}  // namespace

void paintLayer(QPainter& painter, const QRectF& bounds, const std::vector<Shadow>& shadows,
                double brightness, const std::function<void(QPainter&)>& content) {
  double margin = 1;
  for (const Shadow& s : shadows)
    margin = std::max(margin, 1.5 * s.radius + std::hypot(s.offset.x(), s.offset.y()) + 1);
  const QTransform toDevice = deviceTransform(painter);
  const double scale = std::sqrt(std::abs(toDevice.determinant()));
  const QRectF area = toDevice.mapRect(bounds.adjusted(-margin, -margin, margin, margin));
  const QPoint origin(int(std::floor(area.left())), int(std::floor(area.top())));
  const QSize size(int(std::ceil(area.right())) - origin.x(),
                   int(std::ceil(area.bottom())) - origin.y());
  if (size.isEmpty()) return;

  QImage layer(size, QImage::Format_ARGB32_Premultiplied);
  layer.fill(Qt::transparent);
  {
    QPainter p(&layer);
    p.setRenderHints(QPainter::Antialiasing | QPainter::SmoothPixmapTransform |
                     QPainter::TextAntialiasing);
    p.setWorldTransform(toDevice * QTransform::fromTranslate(-origin.x(), -origin.y()));
    content(p);
  }
  if (!shadows.empty()) {
    QImage group(size, QImage::Format_ARGB32_Premultiplied);
    group.fill(Qt::transparent);
    QPainter p(&group);
    p.setRenderHint(QPainter::SmoothPixmapTransform);
    for (const Shadow& s : shadows) p.drawImage(s.offset * scale, shadowOf(layer, s, scale));
    p.drawImage(0, 0, layer);
    p.end();
    layer = std::move(group);
  }
  if (brightness != 0) shiftBrightness(layer, brightness);
  drawAtDevicePixel(painter, origin, layer);
}

namespace {

// One box pass of width 2 * half + 1 along rows (stride 1) or columns (stride = width). Beyond
// the edges lies nothing, or with `extend` the edge's own value.
void boxPass(std::vector<float>& from, std::vector<float>& to, int lines, int length,
             std::ptrdiff_t lineStride, std::ptrdiff_t step, int half, bool extend = false) {
  const float norm = 1.0f / float(2 * half + 1);
  for (int line = 0; line < lines; ++line) {
    const float* in = from.data() + line * lineStride;
    float* out = to.data() + line * lineStride;
    float sum = 0;
    auto at = [&](int i) {
      if (extend) return in[std::clamp(i, 0, length - 1) * step];
      return (i < 0 || i >= length) ? 0.0f : in[i * step];
    };
    for (int i = -half; i <= half; ++i) sum += at(i);
    for (int i = 0; i < length; ++i) {
      out[i * step] = sum * norm;
      sum += at(i + half + 1) - at(i - half);
    }
  }
  std::swap(from, to);
}

}  // namespace

namespace {

// Three boxes of this half-width have about the variance of a Gaussian of `sigma`.
int boxHalfWidth(double sigma) {
  return std::max(1, int(std::lround((std::sqrt(4 * sigma * sigma + 1) - 1) / 2)));
}

// Blurs one channel of the pixels in place: `read` and `write` reach the channel of a pixel.
template <class Read, class Write>
void blurChannel(int w, int h, double sigma, bool extend, Read read, Write write) {
  const int half = boxHalfWidth(sigma);
  std::vector<float> a(std::size_t(w) * h), b(a.size());
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) a[std::size_t(y) * w + x] = read(x, y);
  for (int pass = 0; pass < 3; ++pass) {
    boxPass(a, b, h, w, w, 1, half, extend);
    boxPass(a, b, w, h, 1, w, half, extend);
  }
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x)
      write(x, y, int(std::clamp(std::lround(a[std::size_t(y) * w + x]), 0L, 255L)));
}

}  // namespace

void blurAlpha(QImage& alpha, double sigma) {
  if (sigma <= 0.3) return;
  blurChannel(
      alpha.width(), alpha.height(), sigma, false,
      [&](int x, int y) { return float(alpha.constScanLine(y)[x]); },
      [&](int x, int y, int v) { alpha.scanLine(y)[x] = uchar(v); });
}

void blurOpaque(QImage& image, double sigma) {
  if (sigma <= 0.3 || image.isNull()) return;
  if (image.format() != QImage::Format_RGB32) image = image.convertToFormat(QImage::Format_RGB32);
  for (int shift : {0, 8, 16}) {
    blurChannel(
        image.width(), image.height(), sigma, true,
        [&](int x, int y) {
          return float((reinterpret_cast<const QRgb*>(image.constScanLine(y))[x] >> shift) & 0xff);
        },
        [&](int x, int y, int v) {
          QRgb& pixel = reinterpret_cast<QRgb*>(image.scanLine(y))[x];
          pixel = (pixel & ~(QRgb(0xff) << shift)) | (QRgb(v) << shift);
        });
  }
}

void shiftBrightness(QImage& image, double amount) {
  for (int y = 0; y < image.height(); ++y) {
    auto* line = reinterpret_cast<QRgb*>(image.scanLine(y));
    for (int x = 0; x < image.width(); ++x) {
      const int a = qAlpha(line[x]);
      if (a == 0) continue;
      const int add = int(std::lround(amount * a));
      auto shift = [&](int c) { return std::clamp(c + add, 0, a); };
      line[x] = qRgba(shift(qRed(line[x])), shift(qGreen(line[x])), shift(qBlue(line[x])), a);
    }
  }
}

}  // namespace brindlet::design
