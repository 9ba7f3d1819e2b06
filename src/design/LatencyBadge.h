#pragma once

// A link latency in milliseconds with a dot that grades it good, fair or poor: as a pill (dot and
// text side by side on a capsule) or as a bar (dot, number and unit stacked).

#include <QRectF>

#include <string>

#include "design/KitWidget.h"

class QPainter;
class QPaintDevice;

namespace brindlet::design {

class LatencyBadge : public KitWidget {
 public:
  enum class Style { pill, bar };
  enum class Level { good, fair, poor };

  // Below 40 good, below 80 fair, else poor; a latency that is no number, infinite, or too large
  // for a whole count of milliseconds is poor.
  static Level level(double milliseconds);
  static SystemColor color(Level level);
  // The rounded whole number and " ms"; "— ms" where no whole count can be given.
  static std::string text(double milliseconds);

  struct Layout {
    QSizeF size;
    QRectF dot;
    QRectF number;  // the pill's whole text
    QRectF unit;    // the bar's "ms"
  };
  static Layout layout(double milliseconds, Style style, const QPaintDevice* device = nullptr);
  // Paints the badge with its top-left corner at `at`.
  static void paint(QPainter& painter, QPointF at, double milliseconds, Style style,
                    Appearance appearance);

  explicit LatencyBadge(QWidget* parent = nullptr) : KitWidget(parent) {}
  void setLatency(double milliseconds, Style style);
  QSize sizeHint() const override;

  QAccessible::Role accessibleRole() const override { return QAccessible::StaticText; }
  QString accessibleText(QAccessible::Text text) const override;

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  double milliseconds_ = 0;
  Style style_ = Style::pill;
};

}  // namespace brindlet::design
