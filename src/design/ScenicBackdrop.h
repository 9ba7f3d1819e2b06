#pragma once

// A full-bleed animated background: a 3 × 3 mesh gradient of nine fixed colours whose inner
// points drift with the clock, washed from the top by the host's tint and darkened towards the
// bottom. It stands still when the user turns animations off or a host freezes it.

#include <QImage>

#include <array>

#include "design/KitWidget.h"
#include "design/Spring.h"

class QPainter;
class QRectF;

namespace brindlet::design {

// Freezes every backdrop in `widget` and below (until a descendant says otherwise).
void setScenicBackdropStill(QWidget* widget, bool still);
// The nearest value set on the widget or one of its parents; false when nobody set one.
bool scenicBackdropStill(const QWidget* widget);

class ScenicBackdrop : public KitWidget {
 public:
  struct Point {
    float x = 0, y = 0;
    friend bool operator==(const Point&, const Point&) = default;
  };
  using Points = std::array<Point, 9>;

  // The nine colours, row by row from the top, each row from the leading edge.
  static const std::array<Rgba, 9>& palette();
  // The mesh's points at `time` seconds, in unit coordinates, row by row.
  static Points meshPoints(double time);
  // The mesh rasterised into a square image `pixels` wide whose corner pixels sit on the mesh's
  // corners; each 2 × 2 cell is a bicubic patch over points and colours.
  static QImage rasterizeMesh(const Points& points, const std::array<Rgba, 9>& colors, int pixels);
  // Paints the backdrop at `time` seconds (0 when standing still) with the wash of `tint`.
  static void paint(QPainter& painter, const QRectF& rect, const Rgba& tint, double time);

  explicit ScenicBackdrop(Rgba tint, QWidget* parent = nullptr);
  // A new tint fades in along a spring.
  void setTint(Rgba tint);
  // Picks up a changed stillness (from setScenicBackdropStill) or motion setting.
  void refreshMotion();

  QAccessible::Role accessibleRole() const override { return QAccessible::Graphic; }
  QString accessibleText(QAccessible::Text) const override { return {}; }
  bool hiddenFromAccessibility() const override { return true; }

 protected:
  void paintEvent(QPaintEvent* event) override;
  void showEvent(QShowEvent* event) override;
  bool animating(double at) const override;

 private:
  bool moving() const { return !still_ && !reduceMotion_; }

  Rgba fromTint_, tint_;
  Motion wash_;
  bool still_ = false;
  bool reduceMotion_ = false;
};

}  // namespace brindlet::design
