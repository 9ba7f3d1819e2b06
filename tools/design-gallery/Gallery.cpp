#include "Gallery.h"

#include <QPainter>

#include <charconv>
#include <cmath>

#include "design/DeckIcon.h"
#include "design/DeckKeyView.h"
#include "design/LatencyBadge.h"
#include "design/Painting.h"
#include "design/ScenicBackdrop.h"

namespace brindlet::design {

namespace {

constexpr Appearance kDark = Appearance::dark;
const Rgba kGround{0.11, 0.11, 0.12, 1};

void ground(QPainter& p, QSizeF size) {
  p.fillRect(QRectF(QPointF(), size), toQColor(kGround));
}

std::string number(double value) {
  char text[32];
  auto end = std::to_chars(text, text + sizeof text, value);
  std::string s(text, end.ptr);
  for (char& c : s)
    if (c == '.') c = '_';
  return s;
}

void addIcons(std::vector<GalleryLook>& looks) {
  for (IconStyle style : {IconStyle::litGlass, IconStyle::classic})
    for (KeyRing ring : KeyRing::allCases())
      for (bool pressed : {false, true}) {
        DeckIcon::Look look{"mic", "Mute", systemColor(SystemColor::blue, kDark), ring, pressed};
        look.style = style;
        const double margin = std::ceil(0.3 * look.size);
        const QSizeF icon = DeckIcon::sizeOf(look);
        const QSizeF size(icon.width() + 2 * margin, icon.height() + 2 * margin);
        looks.push_back({"icon-" + std::string(style.rawValue()) + "-" +
                             std::string(ring.rawValue()) + (pressed ? "-pressed" : ""),
                         size, [=](QPainter& p) {
                           ground(p, size);
                           DeckIcon::paint(p, QRectF(margin, margin, icon.width(), icon.height()),
                                           look);
                         }});
      }
  for (double side : {40.0, 100.0}) {
    DeckIcon::Look look{"video.slash.fill", "Camera Off and Away",
                        systemColor(SystemColor::orange, kDark), KeyRing::warning};
    look.size = side;
    const double margin = std::ceil(0.3 * side);
    const QSizeF icon = DeckIcon::sizeOf(look);
    const QSizeF size(icon.width() + 2 * margin, icon.height() + 2 * margin);
    looks.push_back({"label-" + number(side), size, [=](QPainter& p) {
                       ground(p, size);
                       DeckIcon::paint(p, QRectF(margin, margin, icon.width(), icon.height()),
                                       look);
                     }});
  }
}

void addPlatter(std::vector<GalleryLook>& looks) {
  const std::vector<DeckIcon::Look> icons = {
      {"mic.slash.fill", "Muted", systemColor(SystemColor::blue, kDark), KeyRing::critical},
      {"video", "Camera", systemColor(SystemColor::blue, kDark), KeyRing::none},
      {"hand.raised", "Hand", systemColor(SystemColor::green, kDark), KeyRing::good},
      {"phone.down", "Leave", systemColor(SystemColor::red, kDark), KeyRing::none, true}};
  const double side = DeckIcon::dockIconSize, gap = DeckIcon::dockSpacing;
  const QSizeF cell = DeckIcon::sizeOf(icons.front());
  const QSizeF platter(4 * cell.width() + 5 * gap, cell.height() + 2 * gap);
  const QSizeF size(platter.width() + 2 * side, platter.height() + side);
  looks.push_back({"platter", size, [=](QPainter& p) {
                     ScenicBackdrop::paint(p, QRectF(QPointF(), size),
                                           systemColor(SystemColor::blue, kDark), 0);
                     const QRectF plate(QPointF(side, side / 2), platter);
                     DeckDockPlatter::paintBackground(p, plate, kDark);
                     for (std::size_t i = 0; i < icons.size(); ++i)
                       DeckIcon::paint(p,
                                       QRectF(plate.left() + gap + double(i) * (cell.width() + gap),
                                              plate.top() + gap, cell.width(), cell.height()),
                                       icons[i]);
                     DeckDockPlatter::paintEdge(p, plate);
                   }});
}

void addKeys(std::vector<GalleryLook>& looks) {
  for (KeyRing ring : KeyRing::allCases())
    for (bool pressed : {false, true}) {
      DeckKeyView::Look look{"speaker.wave.2", "Volume", ring, pressed,
                             systemColor(SystemColor::blue, kDark)};
      const QSizeF size(look.size + 16, look.size + 16);
      looks.push_back({"key-" + std::string(ring.rawValue()) + (pressed ? "-pressed" : ""), size,
                       [=](QPainter& p) {
                         ground(p, size);
                         DeckKeyView::paint(p, QRectF(QPointF(), size), look);
                       }});
    }
}

void addSliders(std::vector<GalleryLook>& looks) {
  struct Case {
    const char* name;
    DeckSliderView::Look look;
  };
  const Case cases[] = {{"slider-inside", {"Volume", 2.5, 0, 10, kDark}},
                        {"slider-outside", {"Volume", 12, 0, 10, kDark}},
                        {"slider-empty-range", {"Fixed", 5, 5, 5, kDark}}};
  for (const Case& c : cases) {
    const double pad = 48;  // room for a thumb that runs past the track
    const QSizeF size(240 + 2 * pad, DeckSliderView::heightOf() + 16);
    const DeckSliderView::Look look = c.look;
    looks.push_back({c.name, size, [=](QPainter& p) {
                       ground(p, size);
                       DeckSliderView::paint(
                           p, QRectF(pad, 8, 240, DeckSliderView::heightOf(p.device())), look);
                     }});
  }
}

void addBadges(std::vector<GalleryLook>& looks) {
  for (auto style : {LatencyBadge::Style::pill, LatencyBadge::Style::bar})
    for (double ms : {0.0, 39.9, 40.0, 79.5, 80.0, std::nan("")}) {
      const QSizeF badge = LatencyBadge::layout(ms, style).size;
      const QSizeF size(std::ceil(badge.width()) + 16, std::ceil(badge.height()) + 16);
      looks.push_back({std::string("badge-") +
                           (style == LatencyBadge::Style::pill ? "pill-" : "bar-") +
                           (std::isnan(ms) ? "nan" : number(ms)),
                       size, [=](QPainter& p) {
                         ground(p, size);
                         LatencyBadge::paint(p, {8, 8}, ms, style, kDark);
                       }});
    }
}

void addBackdrops(std::vector<GalleryLook>& looks) {
  const QSizeF size(320, 220);
  const struct {
    const char* name;
    SystemColor tint;
  } tints[] = {{"blue", SystemColor::blue},
               {"green", SystemColor::green},
               {"orange", SystemColor::orange},
               {"red", SystemColor::red}};
  for (const auto& t : tints) {
    const Rgba tint = systemColor(t.tint, kDark);
    looks.push_back({std::string("backdrop-still-") + t.name, size, [=](QPainter& p) {
                       ScenicBackdrop::paint(p, QRectF(QPointF(), size), tint, 0);
                     }});
  }
  for (double time : {20.0, 60.0}) {
    const Rgba tint = systemColor(SystemColor::blue, kDark);
    looks.push_back({"backdrop-time-" + number(time), size, [=](QPainter& p) {
                       ScenicBackdrop::paint(p, QRectF(QPointF(), size), tint, time);
                     }});
  }
}

}  // namespace

std::vector<GalleryLook> galleryLooks() {
  std::vector<GalleryLook> looks;
  addIcons(looks);
  addPlatter(looks);
  addKeys(looks);
  addSliders(looks);
  addBadges(looks);
  addBackdrops(looks);
  return looks;
}

QSize pixelSize(const GalleryLook& look, double scale) {
  return {int(std::ceil(look.size.width() * scale)), int(std::ceil(look.size.height() * scale))};
}

QImage render(const GalleryLook& look, double scale) {
  QImage image(pixelSize(look, scale), QImage::Format_ARGB32_Premultiplied);
  image.setDevicePixelRatio(scale);
  image.fill(Qt::transparent);
  QPainter painter(&image);
  painter.setRenderHints(QPainter::Antialiasing | QPainter::SmoothPixmapTransform |
                         QPainter::TextAntialiasing);
  look.paint(painter);
  return image;
}

}  // namespace brindlet::design
