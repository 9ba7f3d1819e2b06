#include "design/ScenicBackdrop.h"

#include <QDateTime>
#include <QLinearGradient>
#include <QPainter>
#include <QRadialGradient>

#include <cmath>
#include <vector>

#include "design/Painting.h"
#include "design/ReduceMotion.h"

namespace brindlet::design {

namespace {

constexpr const char* kStillProperty = "scenicBackdropStill";
constexpr double kReferenceDate = 978307200;  // 2001-01-01 00:00:00 UTC in Unix seconds
constexpr int kMeshPixels = 96;
constexpr int kFrameInterval = 34;  // milliseconds: at most 30 frames a second

// Cubic Hermite through three values at 0, 1 and 2 with central tangents inside and one-sided
// tangents at the ends; `s` runs over [0, 2].
template <class T>
T hermite3(const T& v0, const T& v1, const T& v2, double s) {
  const T m0 = v1 - v0, m1 = (v2 - v0) * 0.5, m2 = v2 - v1;
  const bool second = s > 1;
  const double u = second ? s - 1 : s;
  const T& a = second ? v1 : v0;
  const T& b = second ? v2 : v1;
  const T& ma = second ? m1 : m0;
  const T& mb = second ? m2 : m1;
  const double u2 = u * u, u3 = u2 * u;
  return a * (2 * u3 - 3 * u2 + 1) + ma * (u3 - 2 * u2 + u) + b * (-2 * u3 + 3 * u2) +
         mb * (u3 - u2);
}

// What the rasteriser carries per vertex: position and colour.
struct Vertex {
  double x = 0, y = 0, r = 0, g = 0, b = 0, a = 0;
  Vertex operator-(const Vertex& o) const {
    return {x - o.x, y - o.y, r - o.r, g - o.g, b - o.b, a - o.a};
  }
  Vertex operator+(const Vertex& o) const {
    return {x + o.x, y + o.y, r + o.r, g + o.g, b + o.b, a + o.a};
  }
  Vertex operator*(double f) const { return {x * f, y * f, r * f, g * f, b * f, a * f}; }
};

Vertex surface(const std::array<Vertex, 9>& grid, double s, double t) {
  Vertex rows[3];
  for (int r = 0; r < 3; ++r) rows[r] = hermite3(grid[r * 3], grid[r * 3 + 1], grid[r * 3 + 2], s);
  return hermite3(rows[0], rows[1], rows[2], t);
}

struct Canvas {
  int n;
  std::vector<float> rgba;
  void triangle(const Vertex& p, const Vertex& q, const Vertex& r) {
    const double scale = n - 1;
    const double ax = p.x * scale, ay = p.y * scale, bx = q.x * scale, by = q.y * scale;
    const double cx = r.x * scale, cy = r.y * scale;
    const double area = (bx - ax) * (cy - ay) - (by - ay) * (cx - ax);
    if (std::abs(area) < 1e-12) return;
    const int x0 = std::max(0, int(std::floor(std::min({ax, bx, cx}))));
    const int x1 = std::min(n - 1, int(std::ceil(std::max({ax, bx, cx}))));
    const int y0 = std::max(0, int(std::floor(std::min({ay, by, cy}))));
    const int y1 = std::min(n - 1, int(std::ceil(std::max({ay, by, cy}))));
    constexpr double kEdge = -1e-9;  // shared edges are drawn by both neighbours: no gaps
    for (int y = y0; y <= y1; ++y)
      for (int x = x0; x <= x1; ++x) {
        const double w0 = ((bx - x) * (cy - y) - (by - y) * (cx - x)) / area;
        const double w1 = ((cx - x) * (ay - y) - (cy - y) * (ax - x)) / area;
        const double w2 = 1 - w0 - w1;
        if (w0 < kEdge || w1 < kEdge || w2 < kEdge) continue;
        float* px = &rgba[(std::size_t(y) * n + x) * 4];
        px[0] = float(w0 * p.r + w1 * q.r + w2 * r.r);
        px[1] = float(w0 * p.g + w1 * q.g + w2 * r.g);
        px[2] = float(w0 * p.b + w1 * q.b + w2 * r.b);
        px[3] = float(w0 * p.a + w1 * q.a + w2 * r.a);
      }
  }
};

int channel(float v) {
  return int(std::lround(std::clamp(v, 0.0f, 1.0f) * 255));
}

}  // namespace

const std::array<Rgba, 9>& ScenicBackdrop::palette() {
  static const std::array<Rgba, 9> colors = {
      Rgba{0.13, 0.14, 0.36, 1}, Rgba{0.22, 0.20, 0.48, 1}, Rgba{0.30, 0.22, 0.52, 1},
      Rgba{0.62, 0.34, 0.56, 1}, Rgba{0.96, 0.58, 0.46, 1}, Rgba{0.86, 0.42, 0.50, 1},
      Rgba{0.07, 0.20, 0.30, 1}, Rgba{0.12, 0.27, 0.36, 1}, Rgba{0.08, 0.16, 0.27, 1}};
  return colors;
}

ScenicBackdrop::Points ScenicBackdrop::meshPoints(double time) {
  const float a = 0.08f * static_cast<float>(std::sin(time / 7));
  const float b = 0.06f * static_cast<float>(std::cos(time / 9));
  return {Point{0, 0},
          Point{0.5f, 0},
          Point{1, 0},
          Point{0, 0.55f + b},
          Point{0.5f + a, 0.5f - b},
          Point{1, 0.45f + a},
          Point{0, 1},
          Point{0.5f - a, 1},
          Point{1, 1}};
}

QImage ScenicBackdrop::rasterizeMesh(const Points& points, const std::array<Rgba, 9>& colors,
                                     int pixels) {
  std::array<Vertex, 9> grid;
  for (int i = 0; i < 9; ++i)
    grid[i] = {points[i].x, points[i].y, colors[i].r, colors[i].g, colors[i].b, colors[i].a};
  // Tessellate the two-by-two patches finely and fill the triangles with interpolated colour.
  const int steps = std::max(8, pixels / 3);
  std::vector<Vertex> mesh(std::size_t(steps + 1) * (steps + 1));
  for (int j = 0; j <= steps; ++j)
    for (int i = 0; i <= steps; ++i)
      mesh[std::size_t(j) * (steps + 1) + i] = surface(grid, 2.0 * i / steps, 2.0 * j / steps);
  Canvas canvas{pixels, std::vector<float>(std::size_t(pixels) * pixels * 4, 0.0f)};
  for (int j = 0; j < steps; ++j)
    for (int i = 0; i < steps; ++i) {
      const Vertex& p00 = mesh[std::size_t(j) * (steps + 1) + i];
      const Vertex& p10 = mesh[std::size_t(j) * (steps + 1) + i + 1];
      const Vertex& p01 = mesh[std::size_t(j + 1) * (steps + 1) + i];
      const Vertex& p11 = mesh[std::size_t(j + 1) * (steps + 1) + i + 1];
      canvas.triangle(p00, p10, p11);
      canvas.triangle(p00, p11, p01);
    }
  QImage image(pixels, pixels, QImage::Format_ARGB32);
  for (int y = 0; y < pixels; ++y) {
    auto* line = reinterpret_cast<QRgb*>(image.scanLine(y));
    for (int x = 0; x < pixels; ++x) {
      const float* px = &canvas.rgba[(std::size_t(y) * pixels + x) * 4];
      line[x] = qRgba(channel(px[0]), channel(px[1]), channel(px[2]), channel(px[3]));
    }
  }
  return image;
}

void ScenicBackdrop::paint(QPainter& painter, const QRectF& rect, const Rgba& tint, double time) {
  painter.save();
  painter.setRenderHint(QPainter::SmoothPixmapTransform);
  painter.setClipRect(rect, Qt::IntersectClip);
  // The image's corner pixels are the mesh's corners: stretch pixel centres onto the rectangle.
  const QImage mesh = rasterizeMesh(meshPoints(time), palette(), kMeshPixels);
  const double cell = 1.0 / (kMeshPixels - 1);
  painter.drawImage(rect.adjusted(-rect.width() * cell / 2, -rect.height() * cell / 2,
                                  rect.width() * cell / 2, rect.height() * cell / 2),
                    mesh);
  QRadialGradient wash(QPointF(rect.center().x(), rect.top()), 520);
  wash.setColorAt(0, toQColor(tint.withAlpha(0.35)));
  wash.setColorAt(1, Qt::transparent);
  painter.setCompositionMode(QPainter::CompositionMode_Plus);
  painter.fillRect(rect, wash);
  painter.setCompositionMode(QPainter::CompositionMode_SourceOver);
  QLinearGradient shade(QPointF(rect.center().x(), rect.center().y()),
                        QPointF(rect.center().x(), rect.bottom()));
  shade.setColorAt(0, Qt::transparent);
  shade.setColorAt(1, toQColor(kBlack.withAlpha(0.35)));
  painter.fillRect(rect, shade);
  painter.restore();
}

void setScenicBackdropStill(QWidget* widget, bool still) {
  widget->setProperty(kStillProperty, still);
  if (auto* backdrop = dynamic_cast<ScenicBackdrop*>(widget)) backdrop->refreshMotion();
  for (QWidget* child : widget->findChildren<QWidget*>())
    if (auto* backdrop = dynamic_cast<ScenicBackdrop*>(child)) backdrop->refreshMotion();
}

bool scenicBackdropStill(const QWidget* widget) {
  for (; widget; widget = widget->parentWidget()) {
    const QVariant value = widget->property(kStillProperty);
    if (value.isValid()) return value.toBool();
  }
  return false;
}

ScenicBackdrop::ScenicBackdrop(Rgba tint, QWidget* parent)
    : KitWidget(parent), fromTint_(tint), tint_(tint), wash_{{0.8, 1.0}, 1, 1, 0} {
  setAttribute(Qt::WA_OpaquePaintEvent);
}

void ScenicBackdrop::setTint(Rgba tint) {
  const double at = now();
  fromTint_ = mix(fromTint_, tint_, wash_.value(at));
  tint_ = tint;
  wash_ = {wash_.spring, 0, 1, at};
  startFrames(kFrameInterval);
}

void ScenicBackdrop::refreshMotion() {
  still_ = scenicBackdropStill(this);
  reduceMotion_ = systemReducesMotion();
  if (moving()) startFrames(kFrameInterval);
  update();
}

bool ScenicBackdrop::animating(double at) const {
  return moving() || !wash_.settled(at);
}

void ScenicBackdrop::showEvent(QShowEvent*) {
  refreshMotion();
}

void ScenicBackdrop::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  const double time =
      moving() ? double(QDateTime::currentMSecsSinceEpoch()) / 1000 - kReferenceDate : 0;
  paint(painter, QRectF(rect()), mix(fromTint_, tint_, wash_.value(now())), time);
}

}  // namespace brindlet::design
