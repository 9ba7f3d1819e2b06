#include "app/ui/Look.h"

#include <QApplication>
#include <QStyleFactory>

#include <chrono>

#include "design/Color.h"
#include "design/Painting.h"

namespace brindlet::app::ui {

namespace {

QColor kitColor(design::SystemColor color) {
  return design::toQColor(design::systemColor(color, design::Appearance::dark));
}

}  // namespace

int pixelSizeOf(TextStyle style) {
  switch (style) {
    case TextStyle::title:
      return 22;
    case TextStyle::title2:
      return 17;
    case TextStyle::title3:
      return 15;
    case TextStyle::headline:
    case TextStyle::body:
      return 13;
    case TextStyle::callout:
      return 12;
  }
  return 13;
}

QFont fontOfSize(int pixels, QFont::Weight weight) {
  QFont font = design::systemFont(nullptr, pixels, weight);
  font.setPixelSize(pixels);
  return font;
}

QFont fontOf(TextStyle style) {
  return fontOfSize(pixelSizeOf(style), style == TextStyle::headline ? QFont::Bold : QFont::Normal);
}

QPalette darkPalette() {
  const QColor window(30, 30, 32);
  const QColor text = kitColor(design::SystemColor::primaryLabel);
  const QColor secondary = kitColor(design::SystemColor::secondaryLabel);
  const QColor accent = kitColor(design::SystemColor::blue);
  QPalette p;
  for (auto group : {QPalette::Active, QPalette::Inactive, QPalette::Disabled}) {
    const bool off = group == QPalette::Disabled;
    const QColor shown = off ? QColor(255, 255, 255, 64) : text;
    p.setColor(group, QPalette::Window, window);
    p.setColor(group, QPalette::WindowText, shown);
    p.setColor(group, QPalette::Base, QColor(40, 40, 43));
    p.setColor(group, QPalette::AlternateBase, QColor(48, 48, 52));
    p.setColor(group, QPalette::Text, shown);
    p.setColor(group, QPalette::PlaceholderText, secondary);
    p.setColor(group, QPalette::Button, QColor(58, 58, 62));
    p.setColor(group, QPalette::ButtonText, shown);
    p.setColor(group, QPalette::BrightText, text);
    p.setColor(group, QPalette::ToolTipBase, QColor(48, 48, 52));
    p.setColor(group, QPalette::ToolTipText, text);
    p.setColor(group, QPalette::Highlight, off ? QColor(80, 80, 84) : accent);
    p.setColor(group, QPalette::HighlightedText, text);
    p.setColor(group, QPalette::Link, accent);
    p.setColor(group, QPalette::Light, QColor(80, 80, 84));
    p.setColor(group, QPalette::Midlight, QColor(66, 66, 70));
    p.setColor(group, QPalette::Mid, QColor(44, 44, 48));
    p.setColor(group, QPalette::Dark, QColor(20, 20, 22));
    p.setColor(group, QPalette::Shadow, Qt::black);
  }
  return p;
}

double animationSeconds() {
  using namespace std::chrono;
  return duration<double>(steady_clock::now().time_since_epoch()).count();
}

void applyApplicationLook() {
  QApplication::setStyle(QStyleFactory::create("Fusion"));
  QApplication::setPalette(darkPalette());
  QApplication::setFont(fontOf(TextStyle::body));
}

}  // namespace brindlet::app::ui
