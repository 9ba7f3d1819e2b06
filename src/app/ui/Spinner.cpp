#include "app/ui/Spinner.h"

#include <QPainter>

#include <cmath>

#include "design/ReduceMotion.h"

namespace brindlet::app::ui {

namespace {
constexpr int kSpokes = 12;
}

Spinner::Spinner(QWidget* parent) : KitWidget(parent) {
  setFixedSize(kSide, kSide);
}

void Spinner::showEvent(QShowEvent* event) {
  still_ = design::systemReducesMotion();
  startFrames(1000 / kSpokes);
  KitWidget::showEvent(event);
}

void Spinner::paintEvent(QPaintEvent*) {
  QPainter p(this);
  p.setRenderHint(QPainter::Antialiasing);
  p.translate(width() / 2.0, height() / 2.0);
  const int lead = still_ ? 0 : int(std::fmod(now(), 1.0) * kSpokes);
  const double radius = std::min(width(), height()) / 2.0;
  for (int i = 0; i < kSpokes; ++i) {
    const int behind = (lead - i + kSpokes) % kSpokes;
    p.setPen(QPen(QColor(255, 255, 255, 255 - behind * 180 / kSpokes), radius / 5, Qt::SolidLine,
                  Qt::RoundCap));
    p.save();
    p.rotate(360.0 * i / kSpokes);
    p.drawLine(QPointF(0, -radius * 0.45), QPointF(0, -radius * 0.9));
    p.restore();
  }
}

}  // namespace brindlet::app::ui
