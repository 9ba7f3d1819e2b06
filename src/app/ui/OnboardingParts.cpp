#include "app/ui/OnboardingParts.h"

#include <QHBoxLayout>
#include <QPainter>

#include "app/ui/Look.h"
#include "design/Color.h"
#include "design/Painting.h"
#include "design/ReduceMotion.h"

namespace brindlet::app::ui {

namespace {

constexpr design::Spring kDotSpring{0.4, 0.8};
constexpr double kCardRadius = 16;

QColor kitColor(design::SystemColor color, double alpha = -1) {
  auto rgba = design::systemColor(color, design::Appearance::dark);
  return design::toQColor(alpha < 0 ? rgba : rgba.withAlpha(alpha));
}

}  // namespace

PageDots::PageDots(int count, QWidget* parent) : KitWidget(parent), count_(count) {
  move_ = {kDotSpring, 1, 1, 0};
  setFixedSize(sizeHint());
}

QSize PageDots::sizeHint() const {
  return {kCurrentWidth + (count_ - 1) * (kDot + kSpacing), kDot};
}

void PageDots::setCurrent(int current) {
  if (current == current_) return;
  previous_ = current_;
  current_ = current;
  move_ = {kDotSpring, 0, 1, now()};
  if (design::systemReducesMotion()) move_.start -= kDotSpring.settlingTime();
  startFrames();
  update();
}

QString PageDots::accessibleText(QAccessible::Text text) const {
  if (text != QAccessible::Name) return {};
  return QStringLiteral("Step %1 of %2").arg(current_ + 1).arg(count_);
}

void PageDots::paintEvent(QPaintEvent*) {
  QPainter p(this);
  p.setRenderHint(QPainter::Antialiasing);
  // The long dot grows where it goes as it shrinks where it was.
  const double t = std::clamp(move_.value(now()), 0.0, 1.2);
  double x = 0;
  for (int i = 0; i < count_; ++i) {
    double grow = 0;
    if (i == current_) grow = t;
    if (i == previous_ && previous_ != current_) grow = 1 - t;
    const double width = kDot + (kCurrentWidth - kDot) * std::clamp(grow, 0.0, 1.0);
    const QColor colour = design::toQColor(design::mix(
        design::systemColor(design::SystemColor::secondaryLabel, design::Appearance::dark)
            .withAlpha(0.35),
        design::kWhite, std::clamp(grow, 0.0, 1.0)));
    p.fillPath(design::RoundedShape::capsule(QRectF(x, 0, width, kDot)).path(), colour);
    x += width + kSpacing;
  }
}

GlassButton::GlassButton(QWidget* parent) : QPushButton(parent) {
  setFont(fontOfSize(15, QFont::DemiBold));
  setCursor(Qt::PointingHandCursor);
}

void GlassButton::paintEvent(QPaintEvent*) {
  QPainter p(this);
  p.setRenderHints(QPainter::Antialiasing | QPainter::TextAntialiasing);
  const QRectF r = QRectF(rect()).adjusted(1, 1, -1, -1);
  const auto shape = design::RoundedShape::capsule(r);
  p.fillPath(shape.path(), kitColor(design::SystemColor::blue, isDown() ? 0.7 : 0.55));
  design::paintGlassCapsule(p, r, design::Appearance::dark);
  if (hasFocus()) design::strokeInside(p, shape, 2, kitColor(design::SystemColor::blue));
  p.setPen(isEnabled() ? Qt::white : QColor(255, 255, 255, 100));
  p.drawText(r, Qt::AlignCenter, text());
}

OnboardingCard::OnboardingCard(QWidget* parent) : QWidget(parent), row_(new QHBoxLayout(this)) {
  row_->setContentsMargins(16, 12, 16, 12);
  row_->setSpacing(12);
  setMaximumWidth(kMaxWidth);
}

void OnboardingCard::paintEvent(QPaintEvent*) {
  QPainter p(this);
  p.setRenderHint(QPainter::Antialiasing);
  const design::RoundedShape shape{QRectF(rect()), kCardRadius};
  p.fillPath(shape.path(), kitColor(design::SystemColor::ultraThinMaterial));
  design::strokeInside(p, shape, 0.5, design::toQColor(design::kWhite.withAlpha(0.15)));
}

Switch::Switch(const QString& text, QWidget* parent) : QAbstractButton(parent) {
  setText(text);
  setCheckable(true);
  setFont(fontOf(TextStyle::body));
  setCursor(Qt::PointingHandCursor);
}

QSize Switch::sizeHint() const {
  const int words = fontMetrics().horizontalAdvance(text());
  return {words + 12 + kTrackWidth, std::max(kTrackHeight, fontMetrics().height())};
}

void Switch::paintEvent(QPaintEvent*) {
  QPainter p(this);
  p.setRenderHints(QPainter::Antialiasing | QPainter::TextAntialiasing);
  p.setPen(palette().color(QPalette::WindowText));
  p.drawText(QRectF(0, 0, width() - kTrackWidth - 12, height()), Qt::AlignVCenter | Qt::AlignLeft,
             text());
  const QRectF track(width() - kTrackWidth, (height() - kTrackHeight) / 2.0, kTrackWidth,
                     kTrackHeight);
  const auto shape = design::RoundedShape::capsule(track);
  p.fillPath(shape.path(), isChecked() ? kitColor(design::SystemColor::blue)
                                       : kitColor(design::SystemColor::quaternaryFill));
  if (hasFocus()) design::strokeInside(p, shape, 1.5, QColor(255, 255, 255, 160));
  const double knob = kTrackHeight - 4;
  const double x = isChecked() ? track.right() - 2 - knob : track.left() + 2;
  p.setPen(Qt::NoPen);
  p.setBrush(Qt::white);
  p.drawEllipse(QRectF(x, track.top() + 2, knob, knob));
}

}  // namespace brindlet::app::ui
