#include "design/DeckIcon.h"

#include <QFontMetricsF>
#include <QHBoxLayout>
#include <QLinearGradient>
#include <QPainter>
#include <QRadialGradient>

#include <algorithm>

#include "design/Painting.h"
#include "design/Symbols.h"

namespace brindlet::design {

TileLook mix(const TileLook& a, const TileLook& b, double t) {
  return {mix(a.color, b.color, t),
          mix(a.k, b.k, t),
          mix(a.scale, b.scale, t),
          mix(a.shadowColor, b.shadowColor, t),
          mix(a.shadowRadius, b.shadowRadius, t),
          mix(a.shadowOffsetY, b.shadowOffsetY, t),
          mix(a.brightness, b.brightness, t),
          mix(a.rimLastStop, b.rimLastStop, t)};
}

namespace {

QColor white(double opacity) {
  return toQColor(kWhite.withAlpha(opacity));
}

QLinearGradient gradient(QPointF from, QPointF to, std::initializer_list<QColor> stops) {
  QLinearGradient g(from, to);
  const int n = int(stops.size());
  int i = 0;
  for (const QColor& c : stops) g.setColorAt(n == 1 ? 0 : double(i++) / (n - 1), c);
  return g;
}

QRadialGradient glow(QPointF center, double radius, const Rgba& tint, double opacity) {
  QRadialGradient g(center, radius);
  g.setColorAt(0, toQColor(tint.withAlpha(opacity)));
  g.setColorAt(1, toQColor(tint.withAlpha(0)));
  return g;
}

std::vector<Shadow> tileShadow(const TileLook& look) {
  return {{look.shadowColor, look.shadowRadius, {0, look.shadowOffsetY}}};
}

}  // namespace

TileLook LitGlassTile::tileLook(const Rgba& tint, bool lit, bool isPressed, double side) {
  TileLook look;
  look.color = tint;
  look.k = lit ? 1.0 : 0.8;
  look.shadowColor = tint.withAlpha((lit ? 0.6 : 0.25) + (isPressed ? 0.2 : 0));
  look.shadowRadius = side * (lit ? 0.14 : 0.08);
  look.brightness = isPressed ? 0.06 : 0;
  look.rimLastStop = isPressed ? 0.85 : 0.5;
  return look;
}

void LitGlassTile::paint(QPainter& painter, const QRectF& rect, const SymbolFrame& symbol,
                         const TileLook& look) {
  const double s = rect.width();
  const RoundedShape outer{rect, 0.26 * s};
  const RoundedShape inner = outer.inset(0.075 * s);
  const Rgba& tint = look.color;
  const double k = look.k;
  paintLayer(painter, rect, tileShadow(look), look.brightness, [&](QPainter& p) {
    const QPainterPath shape = outer.path();
    p.fillPath(shape, toQColor({0.4, 0.43, 0.5, 1}));
    p.fillPath(shape, glow(rect.topRight(), 0.95 * s, tint, 0.6 * k));
    p.fillPath(shape, glow(rect.bottomLeft(), 0.8 * s, tint, 0.45 * k));
    p.fillPath(shape, gradient(rect.topLeft(), rect.center(), {white(0.28), white(0.04)}));
    p.fillPath(inner.path(), toQColor(kBlack.withAlpha(0.07)));
    strokeInside(p, inner, 1,
                 gradient(inner.rect.topLeft(), inner.rect.bottomRight(),
                          {white(0.45), white(0.06), white(0.30)}));
    strokeInside(p, outer, 0.04 * s, toQColor(tint.withAlpha(0.42)));
    strokeInside(p, outer, 0.022 * s,
                 gradient(rect.topLeft(), rect.bottomRight(),
                          {white(0.70), white(0.25), white(0.18), white(look.rimLastStop)}));
    const double size = 0.46 * s;
    const QRectF frame(rect.center().x() - size / 2, rect.center().y() - size / 2, size, size);
    const std::vector<Shadow> symbolShadows = {{tint.withAlpha(0.4 * k), 0.05 * s, {0, 0}},
                                               {kBlack.withAlpha(0.3), 1.2, {0.5, 1.2}}};
    paintLayer(p, frame, symbolShadows, 0, [&](QPainter& q) {
      paintSymbol(q, symbol, rect.center(), size,
                  gradient(frame.topLeft(), frame.bottomLeft(),
                           {Qt::white, toQColor({0.88, 0.88, 0.88, 1})}));
    });
  });
}

void LitGlassTile::setLook(Look look) {
  look_ = std::move(look);
  update();
}

void LitGlassTile::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  painter.setRenderHints(QPainter::Antialiasing | QPainter::SmoothPixmapTransform);
  const double side = width();
  paint(painter, QRectF(0, 0, side, side), look_.symbol,
        tileLook(look_.tint, look_.lit, look_.isPressed, side));
}

double DeckIcon::labelFontSize(double size) {
  return std::max(size * 0.17, 10.0);
}
double DeckIcon::labelMaxWidth(double size) {
  return size + 14;
}

TileLook DeckIcon::tileLook(const Look& look) {
  const std::optional<SystemColor> ringColor = look.ring.color();
  const Rgba color = ringColor ? systemColor(*ringColor, look.appearance) : look.tint;
  TileLook tile;
  if (look.style == IconStyle::litGlass) {
    tile = LitGlassTile::tileLook(color, look.ring != KeyRing::none, look.isPressed, look.size);
  } else {
    tile.color = color;
    if (ringColor) {
      tile.shadowColor = color.withAlpha(0.75);
      tile.shadowRadius = 10;
    } else {
      tile.shadowColor = kBlack.withAlpha(0.28);
      tile.shadowRadius = 6;
      tile.shadowOffsetY = 3;
    }
    tile.brightness = look.isPressed ? -0.08 : 0;
  }
  tile.scale = look.isPressed ? 0.88 : 1.0;
  return tile;
}

void DeckIcon::paintClassicTile(QPainter& painter, const QRectF& rect, const SymbolFrame& symbol,
                                const TileLook& look) {
  const double size = rect.width();
  const RoundedShape shape{rect, size * 0.2237};
  paintLayer(painter, rect, tileShadow(look), look.brightness, [&](QPainter& p) {
    const QPainterPath path = shape.path();
    p.fillPath(path, toQColor(look.color));
    p.fillPath(path, gradient(rect.topLeft(), rect.bottomLeft(),
                              {white(0.18), toQColor(kBlack.withAlpha(0.28))}));
    p.fillPath(path, gradient(rect.topLeft(), QPointF(rect.left(), rect.center().y()),
                              {white(0.38), white(0.05), Qt::transparent}));
    strokeInside(p, shape, 1,
                 gradient(rect.topLeft(), rect.bottomLeft(), {white(0.55), white(0.08)}));
    const double glyph = size * 0.42;
    const QRectF frame(rect.center().x() - glyph / 2, rect.center().y() - glyph / 2, glyph, glyph);
    paintLayer(p, frame, {{kBlack.withAlpha(0.25), 1.5, {0, 1}}}, 0,
               [&](QPainter& q) { paintSymbol(q, symbol, rect.center(), glyph, Qt::white); });
  });
}

namespace {

QFont labelFont(const QPaintDevice* device, double size) {
  return systemFont(device, DeckIcon::labelFontSize(size), QFont::Medium);
}

// One line of label: its width (at most the maximum) and height.
QSizeF labelSize(const QFont& font, const QPaintDevice* device, const std::string& label,
                 double size) {
  const QFontMetricsF metrics = device ? QFontMetricsF(font, device) : QFontMetricsF(font);
  const double width = metrics.horizontalAdvance(QString::fromStdString(label));
  return {std::min(std::ceil(width), DeckIcon::labelMaxWidth(size)), std::ceil(metrics.height())};
}

}  // namespace

QSizeF DeckIcon::sizeOf(const Look& look, const QPaintDevice* device) {
  if (!look.showsLabel) return {look.size, look.size};
  const QSizeF label = labelSize(labelFont(device, look.size), device, look.label, look.size);
  return {std::max(look.size, label.width()), look.size + 5 + label.height()};
}

void DeckIcon::paint(QPainter& painter, const QRectF& rect, const Look& look, const TileLook& tile,
                     const SymbolFrame& symbol) {
  const QRectF tileRect(rect.center().x() - look.size / 2, rect.top(), look.size, look.size);
  painter.save();
  painter.translate(tileRect.center());
  painter.scale(tile.scale, tile.scale);
  painter.translate(-tileRect.center());
  if (look.style == IconStyle::litGlass)
    LitGlassTile::paint(painter, tileRect, symbol, tile);
  else
    paintClassicTile(painter, tileRect, symbol, tile);
  painter.restore();
  if (!look.showsLabel) return;

  const QFont font = labelFont(painter.device(), look.size);
  const QSizeF size = labelSize(font, painter.device(), look.label, look.size);
  const QRectF textRect(rect.center().x() - size.width() / 2, tileRect.bottom() + 5, size.width(),
                        size.height());
  const QString text =
      QFontMetricsF(font, painter.device())
          .elidedText(QString::fromStdString(look.label), Qt::ElideRight, textRect.width() + 0.5);
  paintLayer(painter, textRect, {{kBlack.withAlpha(0.5), 2, {0, 1}}}, 0, [&](QPainter& p) {
    p.setFont(font);
    p.setPen(white(0.92));
    p.drawText(textRect, Qt::AlignCenter | Qt::TextSingleLine, text);
  });
}

void DeckIcon::paint(QPainter& painter, const QRectF& rect, const Look& look) {
  paint(painter, rect, look, tileLook(look), look.symbol);
}

DeckIcon::DeckIcon(QWidget* parent) : KitWidget(parent) {
  look_.style = IconStyle::current();
  from_ = to_ = endsFor(look_);
  press_ = {{0.25, 0.55}, 0, 0, 0};
  ring_ = {{0.3, 1.0}, 1, 1, 0};
  symbol_ = {{0.3, 1.0}, 1, 1, 0};
}

DeckIcon::Ends DeckIcon::endsFor(const Look& look) const {
  Look rest = look, pressed = look;
  rest.isPressed = false;
  pressed.isPressed = true;
  return {tileLook(rest), tileLook(pressed)};
}

TileLook DeckIcon::tileAt(double at) const {
  const double q = ring_.value(at);
  return mix(mix(from_.rest, to_.rest, q), mix(from_.pressed, to_.pressed, q), press_.value(at));
}

void DeckIcon::setLook(Look look) {
  const double at = now();
  look.appearance = appearance();
  look.style = IconStyle::current();
  if (look.ring != look_.ring || look.tint != look_.tint || look.style != look_.style) {
    const double q = ring_.value(at);
    from_ = {mix(from_.rest, to_.rest, q), mix(from_.pressed, to_.pressed, q)};
    ring_ = {ring_.spring, 0, 1, at};
  }
  if (look.isPressed != look_.isPressed) press_.retarget(look.isPressed ? 1 : 0, at);
  if (look.symbol != look_.symbol) {
    previousSymbol_ = look_.symbol;
    symbol_ = {symbol_.spring, 0, 1, at};
  }
  to_ = endsFor(look);
  const bool resized =
      look.size != look_.size || look.label != look_.label || look.showsLabel != look_.showsLabel;
  look_ = std::move(look);
  if (resized) updateGeometry();
  startFrames();
}

bool DeckIcon::animating(double at) const {
  return !press_.settled(at) || !ring_.settled(at);
}

QSize DeckIcon::sizeHint() const {
  return sizeOf(look_, this).toSize();
}

QString DeckIcon::accessibleText(QAccessible::Text text) const {
  return elementText(text, look_.label, look_.ring.accessibilityValue());
}

void DeckIcon::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  painter.setRenderHints(QPainter::Antialiasing | QPainter::SmoothPixmapTransform);
  const double at = now();
  paint(painter, QRectF(rect()), look_, tileAt(at),
        {look_.symbol, previousSymbol_, symbol_.value(at)});
}

void DeckDockPlatter::paintBackground(QPainter& painter, const QRectF& rect,
                                      Appearance appearance) {
  painter.fillPath(RoundedShape{rect, cornerRadius}.path(),
                   toQColor(systemColor(SystemColor::ultraThinMaterial, appearance)));
}

void DeckDockPlatter::paintEdge(QPainter& painter, const QRectF& rect) {
  strokeInside(painter, {rect, cornerRadius}, 0.5, white(0.18));
}

namespace {

// Draws the platter's edge above the content, letting every input through.
class PlatterEdge : public QWidget {
 public:
  explicit PlatterEdge(QWidget* parent) : QWidget(parent) {
    setAttribute(Qt::WA_TransparentForMouseEvents);
  }

 protected:
  void paintEvent(QPaintEvent*) override {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    DeckDockPlatter::paintEdge(painter, QRectF(rect()));
  }
};

}  // namespace

DeckDockPlatter::DeckDockPlatter(QWidget* content, QWidget* parent)
    : QWidget(parent), content_(content), edge_(new PlatterEdge(this)) {
  auto* layout = new QHBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->addWidget(content_);
  edge_->raise();
}

void DeckDockPlatter::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  painter.setRenderHint(QPainter::Antialiasing);
  paintBackground(painter, QRectF(rect()), appearanceOf(*this));
}

void DeckDockPlatter::resizeEvent(QResizeEvent*) {
  edge_->setGeometry(rect());
  edge_->raise();
}

}  // namespace brindlet::design
