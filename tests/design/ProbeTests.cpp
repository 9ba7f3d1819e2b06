// Pixel probes of the paint functions, offscreen, at one and two pixels per point.

#include <gtest/gtest.h>

#include <QPainter>

#include <algorithm>
#include <cmath>

#include "design/DeckIcon.h"
#include "design/DeckKeyView.h"
#include "design/LatencyBadge.h"
#include "design/Painting.h"
#include "design/ScenicBackdrop.h"
#include "design/Symbols.h"
#include "support/QtHarness.h"

namespace brindlet::design {
namespace {

using testsupport::near;
using testsupport::paintedAt;
using testsupport::pixelAt;

constexpr double kScales[] = {1, 2};
constexpr Appearance kDark = Appearance::dark;

QColor qt(SystemColor color) {
  return toQColor(systemColor(color, kDark));
}

double luminance(const QColor& c) {
  return 0.2126 * c.redF() + 0.7152 * c.greenF() + 0.0722 * c.blueF();
}

QImage key(double scale, KeyRing ring, bool pressed) {
  DeckKeyView::Look look{"speaker.wave.2", "Volume", ring, pressed, {0, 0.5, 1, 1}, 64, kDark};
  return paintedAt(scale, {64, 64}, [&](QPainter& p) {
    DeckKeyView::paint(p, {0, 0, 64, 64}, look);
  });
}

TEST(KeyProbe, RingCoversHalfAPointToThreeAndAHalfFromTheEdge) {
  for (double scale : kScales)
    for (KeyRing ring : KeyRing::allCases()) {
      SCOPED_TRACE(std::string(ring.rawValue()) + " at " + std::to_string(scale));
      const QImage image = key(scale, ring, false);
      if (!ring.color()) {
        for (int y = 0; y < image.height(); ++y)
          for (int x = 0; x < image.width(); ++x)
            for (SystemColor c : {SystemColor::green, SystemColor::orange, SystemColor::red})
              ASSERT_FALSE(near(image.pixelColor(x, y), qt(c), 40)) << x << "," << y;
        continue;
      }
      const QColor color = qt(*ring.color());
      // Device rows (and columns) wholly inside [0.5, 3.5] points are the ring's colour; those
      // wholly beyond 3.5 points are not.
      for (int j = 0; j < int(6 * scale); ++j) {
        const double from = j / scale, to = (j + 1) / scale;
        const QColor top = image.pixelColor(int(32 * scale), j);
        const QColor left = image.pixelColor(j, int(32 * scale));
        if (from >= 0.5 && to <= 3.5) {
          EXPECT_TRUE(near(top, color))
              << "row " << j << " " << top.name(QColor::HexArgb).toStdString();
          EXPECT_TRUE(near(left, color)) << "column " << j;
        } else if (from >= 3.5) {
          EXPECT_FALSE(near(top, color, 40)) << "row " << j;
          EXPECT_FALSE(near(left, color, 40)) << "column " << j;
        }
      }
    }
}

TEST(KeyProbe, PressedKeyIsWhiteAwayFromItsSymbol) {
  for (double scale : kScales) {
    const QImage image = key(scale, KeyRing::none, true);
    for (QPointF at : {QPointF(6, 32), QPointF(58, 32), QPointF(32, 6), QPointF(32, 58)})
      EXPECT_TRUE(near(pixelAt(image, at), Qt::white))
          << at.x() << "," << at.y() << " at " << scale;
    const QImage rest = key(scale, KeyRing::none, false);
    EXPECT_FALSE(near(pixelAt(rest, {6, 32}), Qt::white, 40));
  }
}

TEST(SliderProbe, ThumbCentreAndFillWidth) {
  const struct {
    double value, lower, upper;
  } rows[] = {{0, 0, 10}, {5, 0, 10}, {10, 0, 10}, {2.5, 0, 10}, {5, 5, 5}};
  constexpr double kLeft = 40, kWidth = 300;
  for (double scale : kScales)
    for (const auto& row : rows) {
      SCOPED_TRACE(std::to_string(row.value) + " at " + std::to_string(scale));
      const DeckSliderView::Look look{"Volume", row.value, row.lower, row.upper, kDark};
      const QSizeF size(kLeft * 2 + kWidth, DeckSliderView::heightOf());
      QRectF area;
      const QImage image = paintedAt(scale, size, [&](QPainter& p) {
        const QRectF rect(kLeft, 0, kWidth, DeckSliderView::heightOf(p.device()));
        area = DeckSliderView::trackArea(rect, p.device());
        DeckSliderView::paint(p, rect, look);
      });
      const double f = DeckSliderView::fraction(row.value, row.lower, row.upper);
      // The thumb alone crosses the row 3 points below the area's top: a chord about its centre.
      const int chordRow = int((area.top() + 3) * scale);
      int first = -1, last = -1;
      for (int x = 0; x < image.width(); ++x)
        if (image.pixelColor(x, chordRow).alpha() > 0) {
          if (first < 0) first = x;
          last = x;
        }
      ASSERT_GE(first, 0);
      EXPECT_NEAR((first + last + 1) / 2.0 / scale, kLeft + 14 + f * (kWidth - 28), 0.5);
      // The fill is the blue run along the track's middle row, under the thumb too.
      const int middle = int(area.center().y() * scale);
      int fillEnd = -1;
      for (int x = 0; x < image.width(); ++x) {
        const QColor c = image.pixelColor(x, middle);
        if (c.alpha() > 128 && c.blue() - c.red() > 80) fillEnd = x + 1;
      }
      EXPECT_NEAR(fillEnd / scale, kLeft + std::max(f * kWidth, 8.0), 1.0);
    }
}

QImage tile(double scale, IconStyle style, KeyRing ring, bool pressed,
            Rgba tint = {0.2, 0.4, 0.9, 1}) {
  DeckIcon::Look look{"mic", "", tint, ring, pressed, 100, false, style};
  TileLook t = DeckIcon::tileLook(look);
  return paintedAt(scale, {160, 160}, [&](QPainter& p) {
    if (style == IconStyle::litGlass)
      LitGlassTile::paint(p, {30, 30, 100, 100}, "mic", t);
    else
      DeckIcon::paintClassicTile(p, {30, 30, 100, 100}, "mic", t);
  });
}

TEST(TileProbe, PressingDarkensClassicAndBrightensLitGlass) {
  for (double scale : kScales)
    for (IconStyle style : {IconStyle::classic, IconStyle::litGlass}) {
      const QImage rest = tile(scale, style, KeyRing::none, false);
      const QImage pressed = tile(scale, style, KeyRing::none, true);
      for (QPointF at : {QPointF(45, 80), QPointF(80, 45), QPointF(112, 112)}) {
        const double before = luminance(pixelAt(rest, at)), after = luminance(pixelAt(pressed, at));
        if (style == IconStyle::classic)
          EXPECT_LT(after, before - 0.04) << at.x() << "," << at.y() << " at " << scale;
        else
          EXPECT_GT(after, before + 0.03) << at.x() << "," << at.y() << " at " << scale;
      }
    }
}

TEST(TileProbe, CriticalLitGlassGlowsRedBeyondItsEdge) {
  for (double scale : kScales) {
    const QImage critical = tile(scale, IconStyle::litGlass, KeyRing::critical, false);
    const QImage calm = tile(scale, IconStyle::litGlass, KeyRing::none, false);
    for (QPointF at : {QPointF(26, 80), QPointF(134, 80), QPointF(80, 26), QPointF(80, 134)}) {
      const QColor glow = pixelAt(critical, at);
      EXPECT_GT(glow.alpha(), 20) << at.x() << "," << at.y();
      EXPECT_GT(glow.red(), glow.green() + 100);
      EXPECT_GT(glow.red(), glow.blue() + 100);
      const QColor blue = pixelAt(calm, at);
      EXPECT_LT(blue.alpha(), glow.alpha());
      EXPECT_GT(blue.blue(), blue.red());
    }
  }
}

TEST(TileProbe, ChangedSymbolShrinksAwayAsTheNewOneGrows) {
  auto classic = [](const SymbolFrame& symbol) {
    const TileLook t = DeckIcon::tileLook({"", "", {0.2, 0.4, 0.9, 1}, KeyRing::none});
    return paintedAt(2, {100, 100}, [&](QPainter& p) {
      DeckIcon::paintClassicTile(p, {10, 10, 80, 80}, symbol, t);
    });
  };
  const QImage mic = classic("mic"), video = classic("video");
  EXPECT_NE(mic, video);
  EXPECT_EQ(classic({"video", "mic", 0}), mic);
  EXPECT_EQ(classic({"video", "mic", 1}), video);
  const QImage midway = classic({"video", "mic", 0.5});
  EXPECT_NE(midway, mic);
  EXPECT_NE(midway, video);
}

TEST(BackdropProbe, MeshCornersAreThePalettesAndStillFramesRepeat) {
  const auto& palette = ScenicBackdrop::palette();
  for (double time : {0.0, 20.0, 1e6})
    for (int pixels : {2, 17, 96}) {
      const QImage mesh =
          ScenicBackdrop::rasterizeMesh(ScenicBackdrop::meshPoints(time), palette, pixels);
      const int last = pixels - 1;
      const struct {
        int x, y, index;
      } corners[] = {{0, 0, 0}, {last, 0, 2}, {0, last, 6}, {last, last, 8}};
      for (const auto& c : corners)
        EXPECT_TRUE(near(mesh.pixelColor(c.x, c.y), toQColor(palette[c.index])))
            << time << " " << pixels << " corner " << c.index;
      for (int y = 0; y < pixels; ++y)
        for (int x = 0; x < pixels; ++x)
          ASSERT_EQ(mesh.pixelColor(x, y).alpha(), 255) << x << "," << y;
    }
  for (double scale : kScales) {
    auto still = [&] {
      return paintedAt(scale, {200, 120}, [](QPainter& p) {
        ScenicBackdrop::paint(p, {0, 0, 200, 120}, {0.2, 0.5, 1, 1}, 0);
      });
    };
    EXPECT_EQ(still(), still());
  }
}

TEST(BadgeProbe, DotsHaveTheirLevelsColour) {
  for (double scale : kScales)
    for (auto style : {LatencyBadge::Style::pill, LatencyBadge::Style::bar})
      for (double ms : {10.0, 50.0, 100.0, std::nan("")}) {
        const auto layout = LatencyBadge::layout(ms, style);
        const QImage image = paintedAt(scale, layout.size, [&](QPainter& p) {
          LatencyBadge::paint(p, {0, 0}, ms, style, kDark);
        });
        const QColor want = qt(LatencyBadge::color(LatencyBadge::level(ms)));
        EXPECT_TRUE(near(pixelAt(image, layout.dot.center()), want, 2))
            << ms << " " << int(style) << " at " << scale;
      }
}

TEST(Symbols, CatalogueDrawsWithInstalledIconsAndLettersElsewhere) {
  const auto catalogue = symbolCatalogue();
  for (std::size_t i = 0; i < catalogue.size(); ++i) {
    if (i > 0) {
      EXPECT_LT(catalogue[i - 1].symbol, catalogue[i].symbol);  // looked up by halving
    }
    EXPECT_EQ(adwaitaIconFor(catalogue[i].symbol), catalogue[i].icon);
    EXPECT_FALSE(adwaitaIconFile(catalogue[i].icon).empty()) << catalogue[i].icon;
  }
  const struct {
    const char* symbol;
    const char* icon;
  } rows[] = {{"mic.slash.fill", "microphone-disabled-symbolic"},
              {"video.fill", "camera-video-symbolic"},
              {"checkmark.circle.fill", "emblem-ok-symbolic"},
              {"Mic", ""},
              {"fill", ""},
              {"", ""}};
  for (const auto& row : rows) EXPECT_EQ(adwaitaIconFor(row.symbol), row.icon) << row.symbol;
  auto inked = [](const QImage& mask) {
    int count = 0;
    for (int y = 0; y < mask.height(); ++y)
      for (int x = 0; x < mask.width(); ++x) count += qAlpha(mask.pixel(x, y)) > 128;
    return count;
  };
  for (const char* symbol : {"mic", "wifi", "no.such.symbol",
                             "\xc3\xb1"
                             "and\xc3\xba",
                             "\xce\xa9"
                             "mega"})
    EXPECT_GT(inked(symbolMask(symbol, 32)), 20) << symbol;
  EXPECT_EQ(inked(symbolMask("", 32)), 0);
  EXPECT_EQ(symbolMask("mic", 48).size(), QSize(48, 48));
}

TEST(Painting, ContinuousCornersMeetACircularCornerHalfway) {
  const struct {
    QRectF rect;
    double radius;
  } rows[] = {{{0, 0, 100, 100}, 5},   {{0, 0, 100, 100}, 14},
              {{10, 20, 200, 80}, 34}, {{0, 0, 120, 40}, 20},  // a capsule
              {{0, 0, 28, 28}, 14},                            // a circle
              {{0, 0, 50, 30}, 90}};                           // more radius than room: a capsule
  for (const auto& row : rows) {
    const QPainterPath path = RoundedShape{row.rect, row.radius}.path();
    EXPECT_EQ(path.boundingRect(), row.rect);
    const double r = std::min({row.radius, row.rect.width() / 2, row.rect.height() / 2});
    const double d = r * (1 - std::sqrt(0.5));  // where a circular corner crosses the diagonal
    const QPointF corner = row.rect.topLeft();
    EXPECT_FALSE(path.contains(corner + QPointF(d - 0.2, d - 0.2))) << row.radius;
    EXPECT_TRUE(path.contains(corner + QPointF(d + 0.2, d + 0.2))) << row.radius;
    EXPECT_TRUE(path.contains(QPointF(row.rect.center().x(), row.rect.top() + 0.1)));
  }
}

TEST(Painting, BlurKeepsTheAlphaAndSpreadsIt) {
  QImage dot(41, 41, QImage::Format_Alpha8);
  dot.fill(0);
  for (int y = 18; y <= 22; ++y) std::fill_n(dot.scanLine(y) + 18, 5, uchar(255));
  auto sum = [](const QImage& image) {
    long total = 0;
    for (int y = 0; y < image.height(); ++y)
      for (int x = 0; x < image.width(); ++x) total += qAlpha(image.pixel(x, y));
    return total;
  };
  const long before = sum(dot);
  blurAlpha(dot, 3);
  EXPECT_NEAR(double(sum(dot)), double(before), before * 0.02);
  EXPECT_LT(qAlpha(dot.pixel(20, 20)), 255);
  EXPECT_GT(qAlpha(dot.pixel(20, 27)), 0);
  EXPECT_EQ(qAlpha(dot.pixel(0, 0)), 0);
}

}  // namespace
}  // namespace brindlet::design
