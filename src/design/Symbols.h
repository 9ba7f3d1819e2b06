#pragma once

// Symbols by the names the phone and the profiles use, drawn with the Adwaita icon theme's
// symbolic icons. The names themselves are never translated: only the drawing is.

#include <QBrush>
#include <QImage>
#include <QPointF>

#include <span>
#include <string>
#include <string_view>

class QPainter;

namespace brindlet::design {

struct SymbolEntry {
  std::string_view symbol;
  std::string_view icon;  // Adwaita's name, without folder or extension
};
// Every symbol the catalogue draws with an icon, sorted by symbol name.
std::span<const SymbolEntry> symbolCatalogue();

// The Adwaita icon that draws `symbol`, without folder or extension; empty when the catalogue has
// none (a trailing ".fill" is ignored when the filled name itself is not listed).
std::string_view adwaitaIconFor(std::string_view symbol);

// The file of an Adwaita icon, or an empty text when the theme is not installed.
std::string adwaitaIconFile(std::string_view icon);

// The symbol's shape as an alpha image `pixels` wide and high: the Adwaita icon, or a plain glyph
// (the name's first letter) when the catalogue has none. Cached.
QImage symbolMask(std::string_view symbol, int pixels);

// A symbol at one moment of a change: while `progress` runs from 0 to 1, the previous symbol
// shrinks and fades out as the new one grows and fades in.
struct SymbolFrame {
  // A symbol at rest.
  SymbolFrame(std::string_view symbol) : symbol(symbol) {}
  SymbolFrame(const std::string& symbol) : symbol(symbol) {}
  SymbolFrame(const char* symbol) : symbol(symbol) {}
  SymbolFrame(std::string_view symbol, std::string_view previous, double progress)
      : symbol(symbol), previous(previous), progress(progress) {}
  std::string_view symbol;
  std::string_view previous;
  double progress = 1;
};

// Paints the symbol about `size` points high, centred on `center`, filled with `brush`.
void paintSymbol(QPainter& painter, const SymbolFrame& frame, QPointF center, double size,
                 const QBrush& brush);

}  // namespace brindlet::design
