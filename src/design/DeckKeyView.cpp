#include "design/DeckKeyView.h"

#include <QFontMetricsF>
#include <QMouseEvent>
#include <QPainter>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <stdexcept>

#include "design/Painting.h"
#include "design/Symbols.h"

namespace brindlet::design {

namespace {

constexpr double kCaption2 = 11;  // points
constexpr double kFootnote = 13;
constexpr double kSymbolSize = 22;

QFont caption(const QPaintDevice* device, double size = kCaption2) {
  return systemFont(device, size, QFont::DemiBold);
}

// One line of text, shrunk down to 0.7 of its size to fit `width` and only then cut short.
void drawFittedLine(QPainter& painter, const QString& text, const QRectF& box) {
  QFont font = caption(painter.device());
  double width = QFontMetricsF(font, painter.device()).horizontalAdvance(text);
  if (width > box.width() && width > 0) {
    font = caption(painter.device(), std::max(kCaption2 * box.width() / width, kCaption2 * 0.7));
  }
  const QFontMetricsF metrics(font, painter.device());
  painter.setFont(font);
  painter.drawText(box, Qt::AlignCenter | Qt::TextSingleLine,
                   metrics.elidedText(text, Qt::ElideRight, box.width()));
}

}  // namespace

void DeckKeyView::paint(QPainter& painter, const QRectF& rect, const Look& look, double pressed) {
  const double p = std::clamp(pressed, 0.0, 1.0);
  const QRectF key(rect.center().x() - look.size / 2, rect.center().y() - look.size / 2, look.size,
                   look.size);
  const RoundedShape shape{key, cornerRadius};
  painter.save();
  const double scale = 1 - (1 - pressedScale) * pressed;
  painter.translate(key.center());
  painter.scale(scale, scale);
  painter.translate(-key.center());

  const Rgba material = systemColor(SystemColor::ultraThinMaterial, look.appearance);
  painter.fillPath(shape.path(), toQColor(mix(material, kWhite, p)));
  strokeInside(painter, shape, 0.5, toQColor(kWhite.withAlpha(0.18 * (1 - p))));

  const QColor ink =
      toQColor(mix(systemColor(SystemColor::primaryLabel, look.appearance), kBlack, p));
  const QString label = QString::fromStdString(look.label);
  const double lineHeight = QFontMetricsF(caption(painter.device()), painter.device()).height();
  const double stackTop = key.center().y() - (kSymbolSize + 2 + lineHeight) / 2;
  paintSymbol(painter, look.symbol, {key.center().x(), stackTop + kSymbolSize / 2}, kSymbolSize,
              ink);
  painter.setPen(ink);
  drawFittedLine(painter, label,
                 QRectF(key.left() + 3, stackTop + kSymbolSize + 2, key.width() - 6, lineHeight));

  if (std::optional<SystemColor> ring = look.ring.color()) {
    painter.setBrush(Qt::NoBrush);
    painter.setPen(QPen(toQColor(systemColor(*ring, look.appearance)), ringWidth));
    painter.drawPath(shape.inset(ringInset).path());
  }
  painter.restore();
}

void DeckKeyView::paint(QPainter& painter, const QRectF& rect, const Look& look) {
  paint(painter, rect, look, look.isPressed ? 1 : 0);
}

DeckKeyView::DeckKeyView(QWidget* parent) : KitWidget(parent) {
  press_ = {{pressResponse, 0.85}, 0, 0, 0};
}

void DeckKeyView::setLook(Look look) {
  if (look.isPressed != look_.isPressed) press_.retarget(look.isPressed ? 1 : 0, now());
  const bool resized = look.size != look_.size;
  look_ = std::move(look);
  if (resized) updateGeometry();
  startFrames();
}

QSize DeckKeyView::sizeHint() const {
  const int side = int(std::ceil(look_.size));
  return {side, side};
}

QString DeckKeyView::accessibleText(QAccessible::Text text) const {
  return elementText(text, look_.label, look_.ring.accessibilityValue());
}

void DeckKeyView::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  painter.setRenderHints(QPainter::Antialiasing | QPainter::SmoothPixmapTransform);
  Look look = look_;
  look.appearance = appearance();
  paint(painter, QRectF(rect()), look, press_.value(now()));
}

std::string DeckSliderView::valueText(double value) {
  char text[400];
  std::to_chars_result end{};
  // A whole number is written without decimals when it fits a 64-bit integer; beyond that (and
  // for the infinities) the conversion would be undefined, so those keep the decimal form.
  constexpr double kLimit = 9223372036854775808.0;  // 2^63
  if (std::round(value) == value && value >= -kLimit && value < kLimit)
    end = std::to_chars(text, text + sizeof text, static_cast<long long>(value));
  else
    end = std::to_chars(text, text + sizeof text, value, std::chars_format::fixed, 1);
  return std::string(text, end.ptr);
}

double DeckSliderView::fraction(double value, double lower, double upper) {
  return lower < upper ? (value - lower) / (upper - lower) : 0;
}

double DeckSliderView::thumbX(double f, double width) {
  return f * (width - thumbSize);
}

double DeckSliderView::fillWidth(double f, double width) {
  return std::max(f * width, DeckKeyView::trackHeight);
}

double DeckSliderView::dragValue(double x, double width, double lower, double upper) {
  if (width >= 1) x /= width;
  return lower + std::clamp(x, 0.0, 1.0) * (upper - lower);
}

double DeckSliderView::adjusted(double value, double lower, double upper, bool increment) {
  const double step = (upper - lower) / 20;
  return std::clamp(increment ? value + step : value - step, lower, upper);
}

namespace {

double headerHeight(const QPaintDevice* device) {
  return std::ceil(
      std::max(QFontMetricsF(caption(device), device).height(),
               QFontMetricsF(systemFont(device, kFootnote, QFont::Normal), device).height()));
}

}  // namespace

double DeckSliderView::heightOf(const QPaintDevice* device) {
  return headerHeight(device) + 4 + thumbSize;
}

QRectF DeckSliderView::trackArea(const QRectF& rect, const QPaintDevice* device) {
  return {rect.left(), rect.top() + headerHeight(device) + 4, rect.width(), thumbSize};
}

void DeckSliderView::paint(QPainter& painter, const QRectF& rect, const Look& look) {
  const QPaintDevice* device = painter.device();
  const double header = headerHeight(device);
  painter.save();
  painter.setPen(toQColor(systemColor(SystemColor::primaryLabel, look.appearance)));
  painter.setFont(caption(device));
  const QRectF headerRect(rect.left(), rect.top(), rect.width(), header);
  painter.drawText(headerRect, Qt::AlignLeft | Qt::AlignVCenter | Qt::TextSingleLine,
                   QString::fromStdString(look.label));
  painter.setFont(systemFont(device, kFootnote, QFont::Normal));
  painter.drawText(headerRect, Qt::AlignRight | Qt::AlignVCenter | Qt::TextSingleLine,
                   QString::fromStdString(valueText(look.value)));

  const QRectF area = trackArea(rect, device);
  const double w = area.width();
  const double f = fraction(look.value, look.lower, look.upper);
  const double trackTop = area.center().y() - DeckKeyView::trackHeight / 2;
  const QRectF track(area.left(), trackTop, w, DeckKeyView::trackHeight);
  painter.fillPath(RoundedShape::capsule(track).path(),
                   toQColor(systemColor(SystemColor::quaternaryFill, look.appearance)));
  const QRectF fill(area.left(), trackTop, fillWidth(f, w), DeckKeyView::trackHeight);
  painter.fillPath(RoundedShape::capsule(fill).path(),
                   toQColor(systemColor(SystemColor::blue, look.appearance)));
  const QRectF thumb(area.left() + thumbX(f, w), area.top(), thumbSize, thumbSize);
  paintUltraThinMaterial(painter, RoundedShape::capsule(thumb), look.appearance);
  painter.restore();
}

DeckSliderView::DeckSliderView(std::string label, Binding value, double lower, double upper,
                               QWidget* parent)
    : KitWidget(parent),
      label_(std::move(label)),
      value_(std::move(value)),
      lower_(lower),
      upper_(upper) {
  if (!(lower <= upper)) throw std::invalid_argument("slider range: lower bound above upper bound");
}

QSize DeckSliderView::sizeHint() const {
  return {200, int(std::ceil(heightOf(this)))};
}

QString DeckSliderView::accessibleText(QAccessible::Text text) const {
  return elementText(text, label_, valueText(value_.get()));
}

void DeckSliderView::adjust(bool increment) {
  value_.set(adjusted(value_.get(), lower_, upper_, increment));
  update();
}

void DeckSliderView::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  painter.setRenderHints(QPainter::Antialiasing | QPainter::TextAntialiasing);
  paint(painter, QRectF(rect()), {label_, value_.get(), lower_, upper_, appearance()});
}

void DeckSliderView::mousePressEvent(QMouseEvent* event) {
  dragging_ = trackArea(QRectF(rect()), this).contains(event->position());
  if (dragging_) dragTo(event->position().x());
}

void DeckSliderView::mouseMoveEvent(QMouseEvent* event) {
  if (dragging_) dragTo(event->position().x());
}

void DeckSliderView::dragTo(double x) {
  value_.set(dragValue(x, width(), lower_, upper_));
  update();
}

}  // namespace brindlet::design
