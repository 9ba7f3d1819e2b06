#pragma once

// The keys and sliders of a deck: a square key with a symbol, a short label and its ring state,
// and a labelled horizontal slider bound to a number within a closed range.

#include <QSizeF>

#include <functional>
#include <string>

#include "design/DeckDesign.h"
#include "design/KitWidget.h"
#include "design/Spring.h"

class QPainter;
class QPaintDevice;
class QRectF;

namespace brindlet::design {

class DeckKeyView : public KitWidget {
 public:
  // Key sides that suit compact and regular decks, and the metrics the key and slider draw with.
  static constexpr double compactSize = 52;
  static constexpr double regularSize = 64;
  static constexpr double trackHeight = 8;
  static constexpr double cornerRadius = 14;
  static constexpr double ringWidth = 3;
  static constexpr double ringInset = 2;
  static constexpr double pressedScale = 0.96;
  static constexpr double pressResponse = 0.12;  // seconds

  struct Look {
    std::string symbol;
    std::string label = {};
    KeyRing ring = KeyRing::none;
    bool isPressed = false;
    Rgba tint = kWhite;
    double size = regularSize;
    Appearance appearance = Appearance::dark;
  };

  // Paints the key centred in `rect`; `pressed` runs from 0 (at rest) to 1 (pressed) and may
  // overshoot while the press spring moves.
  static void paint(QPainter& painter, const QRectF& rect, const Look& look, double pressed);
  static void paint(QPainter& painter, const QRectF& rect, const Look& look);

  explicit DeckKeyView(QWidget* parent = nullptr);
  void setLook(Look look);
  const Look& look() const { return look_; }
  QSize sizeHint() const override;

  QAccessible::Role accessibleRole() const override { return QAccessible::Button; }
  QString accessibleText(QAccessible::Text text) const override;

 protected:
  void paintEvent(QPaintEvent* event) override;
  bool animating(double at) const override { return !press_.settled(at); }

 private:
  Look look_;
  Motion press_;
};

class DeckSliderView : public KitWidget {
 public:
  // The slider reads and writes its number through these.
  struct Binding {
    std::function<double()> get;
    std::function<void(double)> set;
  };

  static constexpr double thumbSize = 28;

  // The number as the slider shows it: whole numbers without decimals, others with one.
  static std::string valueText(double value);
  // Where `value` stands in [lower, upper], not clamped; 0 for an empty range.
  static double fraction(double value, double lower, double upper);
  // The thumb's leading edge and the fill's width on a track `width` wide.
  static double thumbX(double fraction, double width);
  static double fillWidth(double fraction, double width);
  // The value a touch at `x` on a track `width` wide sets.
  static double dragValue(double x, double width, double lower, double upper);
  // One twentieth of the range up or down, kept within the range.
  static double adjusted(double value, double lower, double upper, bool increment);

  struct Look {
    std::string label = {};
    double value = 0;
    double lower = 0;
    double upper = 1;
    Appearance appearance = Appearance::dark;
  };
  // The slider's height: a line of label and value, 4 points, and the 28-point track area.
  static double heightOf(const QPaintDevice* device = nullptr);
  // The track area's rectangle inside a slider painted into `rect`.
  static QRectF trackArea(const QRectF& rect, const QPaintDevice* device = nullptr);
  static void paint(QPainter& painter, const QRectF& rect, const Look& look);

  // Throws std::invalid_argument unless lower ≤ upper.
  DeckSliderView(std::string label, Binding value, double lower, double upper,
                 QWidget* parent = nullptr);
  QSize sizeHint() const override;

  QAccessible::Role accessibleRole() const override { return QAccessible::Slider; }
  QString accessibleText(QAccessible::Text text) const override;
  bool adjustable() const override { return true; }
  void adjust(bool increment) override;
  double accessibleValue() const override { return value_.get(); }
  double accessibleMinimum() const override { return lower_; }
  double accessibleMaximum() const override { return upper_; }

 protected:
  void paintEvent(QPaintEvent* event) override;
  void mousePressEvent(QMouseEvent* event) override;
  void mouseMoveEvent(QMouseEvent* event) override;

 private:
  void dragTo(double x);

  std::string label_;
  Binding value_;
  double lower_, upper_;
  bool dragging_ = false;
};

}  // namespace brindlet::design
