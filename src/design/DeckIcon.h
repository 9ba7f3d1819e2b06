#pragma once

// A deck key drawn as an icon: a square tile (lit glass or classic) with a symbol, the key's
// ring state as colour and glow, and optionally the key's label under it.

#include <QSizeF>

#include <string>
#include <string_view>

#include "design/DeckDesign.h"
#include "design/KitWidget.h"
#include "design/Spring.h"
#include "design/Symbols.h"

class QPainter;
class QPaintDevice;
class QRectF;

namespace brindlet::design {

// How a tile looks at one moment; a spring moves between two of these.
struct TileLook {
  Rgba color;        // the tint lighting a glass tile, or the fill of a classic one
  double k = 1;      // how strongly the tint lights the glass
  double scale = 1;  // of the whole tile about its centre
  Rgba shadowColor;  // with the shadow's opacity as alpha
  double shadowRadius = 0;
  double shadowOffsetY = 0;
  double brightness = 0;     // added to every channel
  double rimLastStop = 0.5;  // opacity of the glass rim's last gradient stop
  friend bool operator==(const TileLook&, const TileLook&) = default;
};
TileLook mix(const TileLook& from, const TileLook& to, double t);

class LitGlassTile : public KitWidget {
 public:
  struct Look {
    std::string symbol;
    Rgba tint = kWhite;
    bool lit = false;
    bool isPressed = false;
  };
  // The tile of side `side` points.
  static TileLook tileLook(const Rgba& tint, bool lit, bool isPressed, double side);
  // Paints the tile into the square `rect` (its width is the side; hosts keep it square).
  static void paint(QPainter& painter, const QRectF& rect, const SymbolFrame& symbol,
                    const TileLook& look);

  explicit LitGlassTile(QWidget* parent = nullptr) : KitWidget(parent) {}
  void setLook(Look look);
  const Look& look() const { return look_; }

  QAccessible::Role accessibleRole() const override { return QAccessible::Graphic; }
  QString accessibleText(QAccessible::Text) const override { return {}; }

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  Look look_;
};

class DeckIcon : public KitWidget {
 public:
  // A tile side and the space between tiles that suit a dock of icons.
  static constexpr double dockIconSize = 58;
  static constexpr double dockSpacing = 14;

  struct Look {
    std::string symbol;
    std::string label;
    Rgba tint = kWhite;
    KeyRing ring = KeyRing::none;
    bool isPressed = false;
    double size = dockIconSize;
    bool showsLabel = true;
    IconStyle style = IconStyle::litGlass;
    Appearance appearance = Appearance::dark;
  };

  static double labelFontSize(double size);
  static double labelMaxWidth(double size);
  // The tile as it rests for this look (ring colour resolved, pressed or not).
  static TileLook tileLook(const Look& look);
  // The classic tile of side rect.width().
  static void paintClassicTile(QPainter& painter, const QRectF& rect, const SymbolFrame& symbol,
                               const TileLook& look);
  // The icon's size: the tile and, when shown, 5 points and one line of label below.
  static QSizeF sizeOf(const Look& look, const QPaintDevice* device = nullptr);
  // Paints the icon into `rect` (tile at the top centre); `tile` says how the tile looks now, and
  // `symbol` how far a change of symbol has come.
  static void paint(QPainter& painter, const QRectF& rect, const Look& look, const TileLook& tile,
                    const SymbolFrame& symbol);
  static void paint(QPainter& painter, const QRectF& rect, const Look& look);

  explicit DeckIcon(QWidget* parent = nullptr);
  // Pressing and ring changes run their springs; everything else shows at once. The style is
  // always this process's (IconStyle::current()), the appearance the palette's.
  void setLook(Look look);
  const Look& look() const { return look_; }
  QSize sizeHint() const override;

  QAccessible::Role accessibleRole() const override { return QAccessible::Button; }
  QString accessibleText(QAccessible::Text text) const override;

 protected:
  void paintEvent(QPaintEvent* event) override;
  bool animating(double at) const override;

 private:
  struct Ends {
    TileLook rest, pressed;
  };
  Ends endsFor(const Look& look) const;
  TileLook tileAt(double at) const;

  Look look_;
  Ends from_, to_;
  Motion press_, ring_, symbol_;
  std::string previousSymbol_;
};

class DeckDockPlatter : public QWidget {
 public:
  static constexpr double cornerRadius = 34;
  // The platter under its content, and its edge over the content.
  static void paintBackground(QPainter& painter, const QRectF& rect, Appearance appearance);
  static void paintEdge(QPainter& painter, const QRectF& rect);

  // Carries `content` (owned from now on), adding no inset of its own.
  explicit DeckDockPlatter(QWidget* content, QWidget* parent = nullptr);
  QWidget* content() const { return content_; }

 protected:
  void paintEvent(QPaintEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;

 private:
  QWidget* content_;
  QWidget* edge_;
};

}  // namespace brindlet::design
