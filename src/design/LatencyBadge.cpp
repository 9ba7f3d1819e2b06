#include "design/LatencyBadge.h"

#include <QFontMetricsF>
#include <QPainter>

#include <charconv>
#include <cmath>
#include <optional>

#include "design/Painting.h"

namespace brindlet::design {

namespace {

constexpr double kDot = 6;
constexpr double kCaption2 = 11;

// The latency as a whole number of milliseconds (halves away from zero), when it has one that a
// 64-bit integer holds.
std::optional<long long> wholeMilliseconds(double ms) {
  const double n = std::round(ms);
  if (!(n >= -9223372036854775808.0 && n < 9223372036854775808.0)) return std::nullopt;
  return static_cast<long long>(n);
}

std::string numberText(double ms) {
  std::optional<long long> n = wholeMilliseconds(ms);
  if (!n) return "\u2014";
  char digits[24];
  auto end = std::to_chars(digits, digits + sizeof digits, *n);
  return std::string(digits, end.ptr);
}

QFont numberFont(const QPaintDevice* device, LatencyBadge::Style style) {
  return systemFont(device, kCaption2,
                    style == LatencyBadge::Style::bar ? QFont::DemiBold : QFont::Normal);
}

QFont unitFont(const QPaintDevice* device) {
  return systemFont(device, 9, QFont::Normal);
}

QSizeF textSize(const QFont& font, const QPaintDevice* device, const std::string& text) {
  const QFontMetricsF m = device ? QFontMetricsF(font, device) : QFontMetricsF(font);
  return {std::ceil(m.horizontalAdvance(QString::fromStdString(text))), std::ceil(m.height())};
}

}  // namespace

LatencyBadge::Level LatencyBadge::level(double ms) {
  if (!wholeMilliseconds(ms)) return Level::poor;
  if (ms < 40) return Level::good;
  if (ms < 80) return Level::fair;
  return Level::poor;
}

SystemColor LatencyBadge::color(Level level) {
  switch (level) {
    case Level::good:
      return SystemColor::green;
    case Level::fair:
      return SystemColor::orange;
    case Level::poor:
      return SystemColor::red;
  }
  return SystemColor::red;
}

std::string LatencyBadge::text(double ms) {
  return numberText(ms) + " ms";
}

LatencyBadge::Layout LatencyBadge::layout(double ms, Style style, const QPaintDevice* device) {
  Layout l;
  if (style == Style::pill) {
    const QSizeF text = textSize(numberFont(device, style), device, LatencyBadge::text(ms));
    const double inner = std::max(kDot, text.height());
    l.size = {8 + kDot + 4 + text.width() + 8, 4 + inner + 4};
    l.dot = {8, 4 + (inner - kDot) / 2, kDot, kDot};
    l.number = {8 + kDot + 4, 4 + (inner - text.height()) / 2, text.width(), text.height()};
    return l;
  }
  const QSizeF number = textSize(numberFont(device, style), device, numberText(ms));
  const QSizeF unit = textSize(unitFont(device), device, "ms");
  const double width = std::max({kDot, number.width(), unit.width()});
  l.size = {width, kDot + 2 + number.height() + 2 + unit.height()};
  l.dot = {(width - kDot) / 2, 0, kDot, kDot};
  l.number = {(width - number.width()) / 2, kDot + 2, number.width(), number.height()};
  l.unit = {(width - unit.width()) / 2, l.number.bottom() + 2, unit.width(), unit.height()};
  return l;
}

void LatencyBadge::paint(QPainter& painter, QPointF at, double ms, Style style,
                         Appearance appearance) {
  const QPaintDevice* device = painter.device();
  const Layout l = layout(ms, style, device);
  painter.save();
  painter.translate(at);
  if (style == Style::pill) paintGlassCapsule(painter, QRectF(QPointF(), l.size), appearance);
  painter.setPen(Qt::NoPen);
  painter.setBrush(toQColor(systemColor(color(level(ms)), appearance)));
  painter.drawEllipse(l.dot);
  painter.setPen(toQColor(systemColor(SystemColor::primaryLabel, appearance)));
  painter.setFont(numberFont(device, style));
  const std::string number = style == Style::pill ? text(ms) : numberText(ms);
  painter.drawText(l.number, Qt::AlignCenter | Qt::TextSingleLine, QString::fromStdString(number));
  if (style == Style::bar) {
    painter.setPen(toQColor(systemColor(SystemColor::secondaryLabel, appearance)));
    painter.setFont(unitFont(device));
    painter.drawText(l.unit, Qt::AlignCenter | Qt::TextSingleLine, QStringLiteral("ms"));
  }
  painter.restore();
}

void LatencyBadge::setLatency(double ms, Style style) {
  milliseconds_ = ms;
  style_ = style;
  updateGeometry();
  update();
}

QSize LatencyBadge::sizeHint() const {
  return layout(milliseconds_, style_, this).size.toSize();
}

QString LatencyBadge::accessibleText(QAccessible::Text t) const {
  return elementText(t, "Latency", text(milliseconds_));
}

void LatencyBadge::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  painter.setRenderHints(QPainter::Antialiasing | QPainter::TextAntialiasing);
  paint(painter, {0, 0}, milliseconds_, style_, appearance());
}

}  // namespace brindlet::design
